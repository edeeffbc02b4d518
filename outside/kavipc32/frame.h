// The library's own framing on a message-mode pipe. A frame (one message or one control
// request) travels as one or more pipe messages ("chunks") of at most kMaxChunk bytes, each
// starting with a 16-byte chunk header, so that large messages never depend on how big a
// single pipe message may be, and a damaged or foreign chunk is recognised and dropped.
// Portable: no OS code here.
//
// | Off | Size | Field     | Content                                       |
// |-----|------|-----------|-----------------------------------------------|
// | 0   | 4    | magic     | "KIPF"                                        |
// | 4   | 1    | kind      | 1 message, 2 quit request, 3 quit answer      |
// | 5   | 1    | version   | 1                                             |
// | 6   | 2    | reserved  | 0                                             |
// | 8   | 4    | total_len | bytes of the whole frame payload              |
// | 12  | 4    | offset    | where this chunk's bytes go in the payload    |
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <vector>

namespace kavipc {

constexpr uint32_t kChunkMagic = 0x4650494B; // "KIPF" read little-endian
constexpr uint8_t kFrameVersion = 1;
constexpr size_t kChunkHeaderSize = 16;
// 64 KiB of payload plus a message's header and names still travel as one chunk (one write and one
// read each way); a peer's read buffer is this size.
constexpr size_t kMaxChunk = 128 * 1024;
constexpr size_t kMaxChunkPayload = kMaxChunk - kChunkHeaderSize;

enum class FrameKind : uint8_t { kMessage = 1, kQuitRequest = 2, kQuitAnswer = 3 };

// The answer to a quit request (payload of a kQuitAnswer frame, one byte).
enum class QuitAnswer : uint8_t { kPosted = 0, kNoSuchNode = 1, kNoMainThread = 2, kNoAnswer = 3 };

struct ChunkHeader {
    FrameKind kind;
    uint32_t total_len;
    uint32_t offset;
};

void WriteChunkHeader(uint8_t* out, const ChunkHeader& h);
// False when the bytes are no chunk header of this version (size, magic, kind, version).
bool ReadChunkHeader(const uint8_t* data, size_t size, ChunkHeader* h);

// Largest payload accepted for a frame kind (0 for an unknown kind).
size_t MaxFramePayload(FrameKind kind);

// Splits `size` bytes of payload into chunks: calls emit(chunk_bytes, chunk_size) for each,
// in order; stops and returns false when emit does.
template <typename Emit>
bool ForEachChunk(FrameKind kind, const uint8_t* payload, size_t size, Emit&& emit) {
    std::vector<uint8_t> buf(kChunkHeaderSize +
                             (size < kMaxChunkPayload ? size : kMaxChunkPayload));
    size_t offset = 0;
    do {
        size_t n = size - offset < kMaxChunkPayload ? size - offset : kMaxChunkPayload;
        WriteChunkHeader(buf.data(),
                         {kind, static_cast<uint32_t>(size), static_cast<uint32_t>(offset)});
        if (n != 0)
            std::copy(payload + offset, payload + offset + n, buf.data() + kChunkHeaderSize);
        if (!emit(buf.data(), kChunkHeaderSize + n)) return false;
        offset += n;
    } while (offset < size);
    return true;
}

// Reassembles chunks from one connection into frames. A chunk that does not continue the
// frame in progress ends that frame (its bytes are dropped); a first chunk starts a new one.
// Frame payloads live in library message blocks (AllocateBlock), so a delivered message is
// released with FreeMessage like any other. The block grows as bytes arrive, never ahead of
// them: a header that declares a large frame costs no more than the bytes really sent.
class FrameAssembler {
public:
    enum class Result { kNeedMore, kComplete, kDropped };

    FrameAssembler() = default;
    ~FrameAssembler();
    FrameAssembler(const FrameAssembler&) = delete;
    FrameAssembler& operator=(const FrameAssembler&) = delete;

    Result Feed(const uint8_t* chunk, size_t size);

    // After kComplete: the frame's kind and payload (a message block the caller now owns).
    FrameKind kind() const { return kind_; }
    void* TakePayload();
    size_t payload_size() const { return total_; }

    // Frames and chunks thrown away so far (for tests and traces).
    size_t dropped() const { return dropped_; }
    // True while a frame has begun and not ended (a peer that stops now is stalled).
    bool in_progress() const { return collecting_; }
    // Bytes held for the frame in progress.
    size_t capacity() const { return capacity_; }
    // Drops the frame in progress (a stalled peer).
    void Abandon();

private:
    void Reset();

    FrameKind kind_ = FrameKind::kMessage;
    uint8_t* buf_ = nullptr;
    size_t total_ = 0;
    size_t received_ = 0;
    size_t capacity_ = 0;
    bool collecting_ = false;
    bool complete_ = false;
    size_t dropped_ = 0;
};

} // namespace kavipc
