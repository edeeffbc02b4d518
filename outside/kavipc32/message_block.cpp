// Message buffers with a size-and-magic header. Portable: C heap only.
#include "outside/kavipc32/message_block.h"

#include <cstdlib>
#include <cstring>

namespace kavipc {

namespace {
BlockHeader* HeaderOf(const void* message) {
    return reinterpret_cast<BlockHeader*>(
        const_cast<uint8_t*>(static_cast<const uint8_t*>(message)) - sizeof(BlockHeader));
}
} // namespace

void* AllocateBlock(size_t size) {
    if (size == 0 || size > kMaxMessageSize) return nullptr;
    void* raw = std::calloc(1, sizeof(BlockHeader) + size);
    if (raw == nullptr) return nullptr;
    auto* h = static_cast<BlockHeader*>(raw);
    h->magic = kBlockMagic;
    h->size = size;
    return static_cast<uint8_t*>(raw) + sizeof(BlockHeader);
}

void* ResizeBlock(void* message, size_t size) {
    if (message == nullptr || size == 0 || size > kMaxMessageSize) return nullptr;
    BlockHeader* h = HeaderOf(message);
    if (h->magic != kBlockMagic) return nullptr;
    auto* raw = static_cast<BlockHeader*>(std::realloc(h, sizeof(BlockHeader) + size));
    if (raw == nullptr) return nullptr;
    raw->size = size;
    return reinterpret_cast<uint8_t*>(raw) + sizeof(BlockHeader);
}

size_t BlockSize(const void* message) {
    if (message == nullptr) return 0;
    const BlockHeader* h = HeaderOf(message);
    if (h->magic != kBlockMagic) return 0;
    return static_cast<size_t>(h->size);
}

void FreeBlock(void* message) {
    if (message == nullptr) return;
    BlockHeader* h = HeaderOf(message);
    if (h->magic != kBlockMagic) return; // not ours, or freed twice: leave it alone
    h->magic = kBlockFreedMagic;
    std::free(h);
}

} // namespace kavipc
