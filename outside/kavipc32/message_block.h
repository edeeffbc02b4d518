// Message buffers: each block carries a small header in front with its size and a magic value,
// so that FreeMessage and EnqueueMessage can tell the library's own buffers from anything else
// and know how many bytes really are there. Portable: C heap only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavipc {

// Largest message the library allocates or accepts from a peer.
constexpr size_t kMaxMessageSize = 64u * 1024 * 1024;

constexpr uint32_t kBlockMagic = 0x4B495042;      // "BPIK": live block
constexpr uint32_t kBlockFreedMagic = 0x44454144; // "DAED": released block

struct BlockHeader {
    uint32_t magic;
    uint32_t capacity; // bytes of the whole allocation, this header included
    uint64_t size;     // bytes the caller asked for
};
static_assert(sizeof(BlockHeader) == 16, "keeps the user area 16-byte aligned");

// Allocations of this many bytes and more are pooled.
constexpr size_t kPooledFrom = 48 * 1024;

// Room kept between the header and a block's bytes, so that a sender can put a small header
// of its own there and write it and the message in one piece, without copying the message.
constexpr size_t kBlockHeadroom = 16;

// A writable buffer of `size` bytes (zero-filled), or null when size is 0, too large or the
// heap is out of memory.
void* AllocateBlock(size_t size);
// The same without clearing the bytes: for a buffer that is written whole before anyone
// reads it (a frame being received).
void* AllocateBlockUncleared(size_t size);
// Changes a live block's size, keeping its bytes (bytes added are not cleared); answers the
// block (perhaps moved) or null, when the old block stays as it was.
// Large blocks (kPooledFrom and more) are rounded up and a few released ones are kept for
// reuse (block_pool.h).
void* ResizeBlock(void* message, size_t size);
// Releases a block from AllocateBlock; null and blocks that are not live are ignored.
void FreeBlock(void* message);
// The size of a live block, or 0 when `message` is null or not a live block.
size_t BlockSize(const void* message);
// The kBlockHeadroom bytes just in front of a live block's bytes, or null when `message` is
// not a live block. Writing there never changes the message.
uint8_t* BlockHeadroom(void* message);

} // namespace kavipc
