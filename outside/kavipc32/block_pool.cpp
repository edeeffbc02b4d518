// Released large blocks kept for reuse. Portable: C heap only.
#include "outside/kavipc32/block_pool.h"

#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVIPC_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KAVIPC_ASAN 1
#endif
#ifdef KAVIPC_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kavipc {

namespace {
// A kept buffer is off limits until taken again: the sanitizer still sees a use after release.
void MarkKept(void* raw, size_t bytes, bool kept) {
#ifdef KAVIPC_ASAN
    if (kept) {
        ASAN_POISON_MEMORY_REGION(raw, bytes);
    } else {
        ASAN_UNPOISON_MEMORY_REGION(raw, bytes);
    }
#else
    (void)raw, (void)bytes, (void)kept;
#endif
}
} // namespace

BlockPool::BlockPool(size_t max_blocks, size_t max_bytes)
    : max_blocks_(max_blocks), max_bytes_(max_bytes) {
    entries_.reserve(max_blocks); // Give never allocates
}

BlockPool::~BlockPool() {
    for (const Entry& e : entries_) {
        MarkKept(e.raw, e.capacity, false);
        std::free(e.raw);
    }
}

void* BlockPool::Take(size_t bytes, size_t* capacity) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry e = entries_[i];
        // Not much more than asked: a small message must not pin a big buffer.
        if (e.capacity < bytes || e.capacity / 2 > bytes) continue;
        entries_[i] = entries_.back();
        entries_.pop_back();
        bytes_ -= e.capacity;
        *capacity = e.capacity;
        MarkKept(e.raw, e.capacity, false);
        return e.raw;
    }
    return nullptr;
}

bool BlockPool::Give(void* raw, size_t capacity) {
    if (raw == nullptr) return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (entries_.size() >= max_blocks_ || capacity > max_bytes_ - bytes_) return false;
    entries_.push_back({raw, capacity});
    bytes_ += capacity;
    MarkKept(raw, capacity, true);
    return true;
}

size_t BlockPool::kept() const {
    std::lock_guard<std::mutex> lock(mu_);
    return entries_.size();
}

size_t BlockPool::kept_bytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return bytes_;
}

} // namespace kavipc
