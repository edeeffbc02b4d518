// How the ipc fuzzers read their input, as a peer's pipe would deliver it: chunks, each after a
// 2-byte little-endian length, fed to a frame assembler. Each complete frame goes to
// on_frame(kind, payload, payload_size), which owns the payload from then on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "outside/kavipc32/frame.h"
#include "shared/base/endian.h"

namespace kavipc {

template <typename OnFrame> void FeedFrames(const uint8_t* data, size_t size, OnFrame&& on_frame) {
    FrameAssembler frames;
    size_t at = 0;
    while (at + 2 <= size) {
        size_t n = pm::le::Load16(data + at);
        at += 2;
        if (n > size - at) n = size - at;
        if (frames.Feed(data + at, n) == FrameAssembler::Result::kComplete) {
            size_t payload_size = frames.payload_size();
            FrameKind kind = frames.kind();
            on_frame(kind, frames.TakePayload(), payload_size);
        }
        at += n;
    }
}

} // namespace kavipc
