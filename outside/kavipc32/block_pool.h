// A few released large blocks kept for the next allocation. A message of 64 KiB and more is a
// "large" block to the Windows heap (Wine maps and unmaps each one), which costs more than the
// round trip's writes; a request and its reply reuse the same few buffers instead. Bounded in
// count and bytes. Thread-safe. Portable: C heap only.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace kavipc {

class BlockPool {
public:
    BlockPool(size_t max_blocks, size_t max_bytes);
    ~BlockPool(); // frees what it holds
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // A kept allocation of at least `bytes` and not much more (at most twice), with its
    // capacity in *capacity; null when none fits.
    void* Take(size_t bytes, size_t* capacity);
    // Keeps an allocation of `capacity` bytes (from malloc/realloc) when there is room; false
    // when the caller must free it.
    bool Give(void* raw, size_t capacity);

    size_t kept() const;
    size_t kept_bytes() const;

private:
    struct Entry {
        void* raw;
        size_t capacity;
    };
    const size_t max_blocks_;
    const size_t max_bytes_;
    mutable std::mutex mu_;
    std::vector<Entry> entries_;
    size_t bytes_ = 0;
};

} // namespace kavipc
