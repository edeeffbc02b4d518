// Chunk headers and frame reassembly. Portable: no OS code here.
#include "outside/kavipc32/frame.h"

#include <cstring>

#include "outside/kavipc32/message_block.h"
#include "shared/ipc/message_layout.h"

namespace kavipc {

void WriteChunkHeader(uint8_t* out, const ChunkHeader& h) {
    le::Store32(out, kChunkMagic);
    out[4] = static_cast<uint8_t>(h.kind);
    out[5] = kFrameVersion;
    le::Store16(out + 6, 0);
    le::Store32(out + 8, h.total_len);
    le::Store32(out + 12, h.offset);
}

bool ReadChunkHeader(const uint8_t* data, size_t size, ChunkHeader* h) {
    if (data == nullptr || size < kChunkHeaderSize || size > kMaxChunk) return false;
    if (le::Load32(data) != kChunkMagic || data[5] != kFrameVersion) return false;
    auto kind = static_cast<FrameKind>(data[4]);
    if (MaxFramePayload(kind) == 0) return false;
    h->kind = kind;
    h->total_len = le::Load32(data + 8);
    h->offset = le::Load32(data + 12);
    return true;
}

size_t MaxFramePayload(FrameKind kind) {
    switch (kind) {
    case FrameKind::kMessage:
        return kMaxMessageSize;
    case FrameKind::kQuitRequest:
        return kMaxNodeName + 1;
    case FrameKind::kQuitAnswer:
        return 1;
    }
    return 0;
}

FrameAssembler::~FrameAssembler() {
    FreeBlock(buf_);
}

void FrameAssembler::Reset() {
    FreeBlock(buf_);
    buf_ = nullptr;
    total_ = received_ = capacity_ = 0;
    collecting_ = complete_ = false;
}

void FrameAssembler::Abandon() {
    if (!collecting_) return;
    Reset();
    ++dropped_;
}

void* FrameAssembler::TakePayload() {
    if (!complete_) return nullptr;
    void* p = buf_;
    buf_ = nullptr;
    Reset();
    return p;
}

FrameAssembler::Result FrameAssembler::Feed(const uint8_t* chunk, size_t size) {
    if (complete_) Reset(); // the previous frame was not taken: it goes
    ChunkHeader h{};
    if (!ReadChunkHeader(chunk, size, &h)) {
        if (collecting_) Reset();
        ++dropped_;
        return Result::kDropped;
    }
    size_t n = size - kChunkHeaderSize;
    if (h.offset == 0) {
        if (collecting_) {
            Reset(); // the frame in progress was cut short: only it is lost
            ++dropped_;
        }
        if (h.total_len == 0 || h.total_len > MaxFramePayload(h.kind) || n == 0 ||
            n > h.total_len) {
            ++dropped_;
            return Result::kDropped;
        }
        // Room for twice this chunk at most (a frame of two chunks then needs no second
        // allocation); later chunks grow the block, never beyond twice what has arrived.
        size_t first = h.total_len / 2 < n ? h.total_len : 2 * n;
        // Every byte is written before the frame is handed on: no need to clear them first.
        buf_ = static_cast<uint8_t*>(AllocateBlockUncleared(first));
        if (buf_ == nullptr) {
            ++dropped_;
            return Result::kDropped;
        }
        capacity_ = first;
        kind_ = h.kind;
        total_ = h.total_len;
        received_ = 0;
        collecting_ = true;
    } else if (!collecting_ || h.kind != kind_ || h.total_len != total_ || h.offset != received_ ||
               n == 0 || n > total_ - received_) {
        if (collecting_) Reset();
        ++dropped_;
        return Result::kDropped;
    }
    if (received_ + n > capacity_) {
        // Doubling keeps the copies linear in the frame's size; never beyond what was declared.
        size_t want = capacity_ * 2 > received_ + n ? capacity_ * 2 : received_ + n;
        if (want > total_) want = total_;
        auto* grown = static_cast<uint8_t*>(ResizeBlock(buf_, want));
        if (grown == nullptr) {
            Reset();
            ++dropped_;
            return Result::kDropped;
        }
        buf_ = grown;
        capacity_ = want;
    }
    if (n != 0) std::memcpy(buf_ + received_, chunk + kChunkHeaderSize, n);
    received_ += n;
    if (received_ < total_) return Result::kNeedMore;
    collecting_ = false;
    if (kind_ == FrameKind::kMessage) {
        MessageView v;
        if (CheckHeader(buf_, total_, AddresseeRule::kNodeName, &v) != HeaderCheck::kOk ||
            v.msg_len != total_) {
            Reset();
            ++dropped_;
            return Result::kDropped;
        }
    }
    complete_ = true;
    return Result::kComplete;
}

} // namespace kavipc
