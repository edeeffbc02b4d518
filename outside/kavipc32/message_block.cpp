// Message buffers with a size-and-magic header. Portable: C heap only.
#include "outside/kavipc32/message_block.h"

#include <cstdlib>
#include <cstring>

#include "outside/kavipc32/block_pool.h"

namespace kavipc {

namespace {
// [BlockHeader][headroom][the caller's bytes]
constexpr size_t kFront = sizeof(BlockHeader) + kBlockHeadroom;
constexpr size_t kPoolGrain = 16 * 1024;

BlockHeader* HeaderOf(const void* message) {
    return reinterpret_cast<BlockHeader*>(
        const_cast<uint8_t*>(static_cast<const uint8_t*>(message)) - kFront);
}

// Large allocations come in steps of kPoolGrain, so that a request and its reply of about the
// same size share buffers.
size_t Rounded(size_t bytes) {
    return bytes < kPooledFrom ? bytes : (bytes + kPoolGrain - 1) / kPoolGrain * kPoolGrain;
}

// Eight buffers or 4 MiB at most: enough for a node's request and reply in both directions.
BlockPool& Pool() {
    static BlockPool pool(8, 4u * 1024 * 1024);
    return pool;
}

void* Publish(void* raw, size_t capacity, size_t size) {
    auto* h = static_cast<BlockHeader*>(raw);
    h->magic = kBlockMagic;
    h->capacity = static_cast<uint32_t>(capacity);
    h->size = size;
    return static_cast<uint8_t*>(raw) + kFront;
}

void* Allocate(size_t size, bool clear) {
    if (size == 0 || size > kMaxMessageSize) return nullptr;
    const size_t bytes = Rounded(kFront + size);
    size_t capacity = 0;
    if (bytes >= kPooledFrom) {
        if (void* raw = Pool().Take(bytes, &capacity)) {
            std::memset(raw, 0, clear ? kFront + size : kFront);
            return Publish(raw, capacity, size);
        }
    }
    void* raw = clear ? std::calloc(1, bytes) : std::malloc(bytes);
    if (raw == nullptr) return nullptr;
    if (!clear) std::memset(raw, 0, kFront);
    return Publish(raw, bytes, size);
}
} // namespace

void* AllocateBlock(size_t size) {
    return Allocate(size, true);
}

void* AllocateBlockUncleared(size_t size) {
    return Allocate(size, false);
}

void* ResizeBlock(void* message, size_t size) {
    if (message == nullptr || size == 0 || size > kMaxMessageSize) return nullptr;
    BlockHeader* h = HeaderOf(message);
    if (h->magic != kBlockMagic) return nullptr;
    if (kFront + size <= h->capacity) {
        h->size = size; // fits what is allocated already
        return message;
    }
    const size_t bytes = Rounded(kFront + size);
    auto* raw = static_cast<BlockHeader*>(std::realloc(h, bytes));
    if (raw == nullptr) return nullptr;
    raw->capacity = static_cast<uint32_t>(bytes);
    raw->size = size;
    return reinterpret_cast<uint8_t*>(raw) + kFront;
}

size_t BlockSize(const void* message) {
    if (message == nullptr) return 0;
    const BlockHeader* h = HeaderOf(message);
    if (h->magic != kBlockMagic) return 0;
    return static_cast<size_t>(h->size);
}

uint8_t* BlockHeadroom(void* message) {
    if (BlockSize(message) == 0) return nullptr;
    return static_cast<uint8_t*>(message) - kBlockHeadroom;
}

void FreeBlock(void* message) {
    if (message == nullptr) return;
    BlockHeader* h = HeaderOf(message);
    if (h->magic != kBlockMagic) return; // not ours, or freed twice: leave it alone
    h->magic = kBlockFreedMagic;         // also while kept: a second release is still ignored
    if (h->capacity >= kPooledFrom && Pool().Give(h, h->capacity)) return;
    std::free(h);
}

} // namespace kavipc
