// Chunk headers and reassembly: byte layout, chunking of large frames, and every way a peer
// can send something broken.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "outside/kavipc32/frame.h"
#include "outside/kavipc32/message_block.h"
#include "shared/ipc/message_layout.h"
#include "tests/ipc/test_message.h"

using namespace kavipc;
using kavipc_test::BuildMessage;
using kavipc_test::MessageSpec;

namespace {

std::vector<std::vector<uint8_t>> Chunks(FrameKind kind, const std::vector<uint8_t>& payload) {
    std::vector<std::vector<uint8_t>> out;
    ForEachChunk(kind, payload.data(), payload.size(), [&](const uint8_t* p, size_t n) {
        out.emplace_back(p, p + n);
        return true;
    });
    return out;
}

std::vector<uint8_t> BigMessage(size_t total) {
    MessageSpec s;
    std::vector<uint8_t> item(total - BuildMessage(s).size() - 4);
    for (size_t i = 0; i < item.size(); ++i)
        item[i] = static_cast<uint8_t>(i * 31 + 7);
    s.items = {item};
    return BuildMessage(s);
}

} // namespace

TEST(FrameTest, ChunkHeaderBytesAndRefusals) {
    uint8_t h[kChunkHeaderSize];
    WriteChunkHeader(h, {FrameKind::kQuitRequest, 0x01020304, 0x0A0B0C0D});
    const uint8_t expected[kChunkHeaderSize] = {
        'K',  'I',  'P',  'F',  // magic
        2,                      // kind: quit request
        1,                      // version
        0,    0,                // reserved
        4,    3,    2,    1,    // total_len
        0x0D, 0x0C, 0x0B, 0x0A, // offset
    };
    EXPECT_EQ(0, std::memcmp(h, expected, sizeof h));
    ChunkHeader r{};
    ASSERT_TRUE(ReadChunkHeader(h, sizeof h, &r));
    EXPECT_EQ(r.kind, FrameKind::kQuitRequest);
    EXPECT_EQ(r.total_len, 0x01020304u);
    EXPECT_EQ(r.offset, 0x0A0B0C0Du);
    // Refused: too short, null, a wrong magic, kind or version, longer than a chunk.
    EXPECT_FALSE(ReadChunkHeader(h, kChunkHeaderSize - 1, &r));
    EXPECT_FALSE(ReadChunkHeader(nullptr, kChunkHeaderSize, &r));
    for (auto [at, byte] :
         {std::pair<int, uint8_t>{0, 'X'}, {4, 9}, {5, 2}}) { // magic, kind, version
        uint8_t bad[kChunkHeaderSize];
        std::memcpy(bad, h, sizeof h);
        bad[at] = byte;
        EXPECT_FALSE(ReadChunkHeader(bad, sizeof bad, &r)) << at;
    }
    EXPECT_FALSE(ReadChunkHeader(h, kMaxChunk + 1, &r));
}

// From one chunk to 16 MiB: sizes around one and two chunks, and odd sizes. Every chunk fits,
// the block grows with the bytes that came (never ahead of them), and the payload arrives whole
// in a library block of exactly its size.
TEST(FrameTest, ChunkingAndReassemblyAtEverySize) {
    for (size_t total : {size_t{60}, kMaxChunkPayload - 1, kMaxChunkPayload, kMaxChunkPayload + 1,
                         2 * kMaxChunkPayload, 2 * kMaxChunkPayload + 1, 3 * kMaxChunkPayload + 17,
                         size_t{1} << 20, size_t{16} << 20}) {
        SCOPED_TRACE(total);
        std::vector<uint8_t> m = BigMessage(total);
        auto chunks = Chunks(FrameKind::kMessage, m);
        ASSERT_EQ(chunks.size(), (total + kMaxChunkPayload - 1) / kMaxChunkPayload);
        FrameAssembler a;
        size_t fed = 0;
        for (size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_LE(chunks[i].size(), kMaxChunk);
            const bool last = i + 1 == chunks.size();
            ASSERT_EQ(a.Feed(chunks[i].data(), chunks[i].size()),
                      last ? FrameAssembler::Result::kComplete : FrameAssembler::Result::kNeedMore);
            fed += chunks[i].size() - kChunkHeaderSize;
            EXPECT_TRUE(last || a.capacity() <= 2 * fed) << "grew ahead of the bytes";
        }
        EXPECT_EQ(a.kind(), FrameKind::kMessage);
        EXPECT_EQ(a.payload_size(), total);
        void* p = a.TakePayload();
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(BlockSize(p), total); // a library block: FreeMessage releases it
        EXPECT_EQ(std::memcmp(p, m.data(), total), 0);
        FreeBlock(p);
        EXPECT_EQ(a.TakePayload(), nullptr);
    }
}

TEST(FrameTest, EmitCanStopTheSplit) {
    std::vector<uint8_t> m = BigMessage(3 * kMaxChunkPayload);
    int calls = 0;
    EXPECT_FALSE(ForEachChunk(FrameKind::kMessage, m.data(), m.size(),
                              [&](const uint8_t*, size_t) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
}

// Garbage, or a frame whose writer died after its first chunk, costs only itself.
TEST(FrameTest, GarbageOrACutShortFrameIsDroppedAndTheNextFrameArrives) {
    const uint8_t garbage[] = "this is no frame at all, just bytes";
    auto first = Chunks(FrameKind::kMessage, BigMessage(3 * kMaxChunkPayload))[0];
    auto small = Chunks(FrameKind::kMessage, BuildMessage({}))[0];
    for (bool cut_short : {false, true}) {
        FrameAssembler a;
        EXPECT_EQ(cut_short ? a.Feed(first.data(), first.size()) : a.Feed(garbage, sizeof garbage),
                  cut_short ? FrameAssembler::Result::kNeedMore : FrameAssembler::Result::kDropped);
        EXPECT_EQ(a.Feed(small.data(), small.size()), FrameAssembler::Result::kComplete);
        FreeBlock(a.TakePayload());
        EXPECT_EQ(a.dropped(), 1u);
    }
}

// A continuation that does not follow its frame ends the frame, and then a continuation without
// a start is dropped too.
TEST(FrameTest, OutOfOrderOrMismatchedContinuationsEndTheFrame) {
    auto chunks = Chunks(FrameKind::kMessage, BigMessage(3 * kMaxChunkPayload));
    auto second_with = [&](size_t at, int byte) {
        std::vector<uint8_t> c = chunks[1];
        c[at] = static_cast<uint8_t>(byte);
        return c;
    };
    const std::pair<const char*, std::vector<uint8_t>> continuations[] = {
        {"skips a chunk", chunks[2]},
        {"total_len changes half-way", second_with(8, chunks[1][8] + 1)},
        {"kind changes half-way", second_with(4, int(FrameKind::kQuitRequest))},
        {"header only", {chunks[1].begin(), chunks[1].begin() + kChunkHeaderSize}},
    };
    for (const auto& [what, c] : continuations) {
        SCOPED_TRACE(what);
        FrameAssembler a;
        ASSERT_EQ(a.Feed(chunks[0].data(), chunks[0].size()), FrameAssembler::Result::kNeedMore);
        EXPECT_EQ(a.Feed(c.data(), c.size()), FrameAssembler::Result::kDropped);
        EXPECT_EQ(a.Feed(chunks[1].data(), chunks[1].size()), FrameAssembler::Result::kDropped);
        EXPECT_FALSE(a.in_progress());
    }
}

TEST(FrameTest, FirstChunkRefusals) {
    uint8_t c[kChunkHeaderSize + 4] = {};
    FrameAssembler a;
    WriteChunkHeader(c, {FrameKind::kMessage, 0, 0}); // empty frame
    EXPECT_EQ(a.Feed(c, sizeof c), FrameAssembler::Result::kDropped);
    WriteChunkHeader(c, {FrameKind::kMessage, 2, 0}); // more bytes than total_len
    EXPECT_EQ(a.Feed(c, sizeof c), FrameAssembler::Result::kDropped);
    WriteChunkHeader(c, {FrameKind::kMessage, static_cast<uint32_t>(kMaxMessageSize + 1), 0});
    EXPECT_EQ(a.Feed(c, sizeof c), FrameAssembler::Result::kDropped);
    WriteChunkHeader(c, {FrameKind::kQuitAnswer, 2, 0}); // answers are one byte
    EXPECT_EQ(a.Feed(c, kChunkHeaderSize + 2), FrameAssembler::Result::kDropped);
    WriteChunkHeader(c, {FrameKind::kMessage, 4, 0}); // header only in the first chunk
    EXPECT_EQ(a.Feed(c, kChunkHeaderSize), FrameAssembler::Result::kDropped);
    // Whole frames whose message header is bad: msg_len disagrees with the frame, or junk.
    std::vector<uint8_t> m = BuildMessage({});
    m.push_back(0); // a valid message one byte shorter than its frame
    for (const auto& bad : {m, std::vector<uint8_t>(40, 0xAB)}) {
        auto chunk = Chunks(FrameKind::kMessage, bad)[0];
        EXPECT_EQ(a.Feed(chunk.data(), chunk.size()), FrameAssembler::Result::kDropped);
    }
}

TEST(FrameTest, UntakenFrameIsReleasedByTheNextFeedOrTheDestructor) {
    std::vector<uint8_t> m = BuildMessage({});
    auto chunks = Chunks(FrameKind::kMessage, m);
    FrameAssembler a;
    ASSERT_EQ(a.Feed(chunks[0].data(), chunks[0].size()), FrameAssembler::Result::kComplete);
    ASSERT_EQ(a.Feed(chunks[0].data(), chunks[0].size()), FrameAssembler::Result::kComplete);
    // ASan reports a leak if either frame is not released
}

TEST(FrameTest, BlockGrowsWithTheBytesNotWithTheDeclaredLength) {
    // One chunk that declares the largest message and then nothing more: the assembler holds
    // only the bytes that came.
    uint8_t chunk[kChunkHeaderSize + 1] = {};
    WriteChunkHeader(chunk, {FrameKind::kMessage, static_cast<uint32_t>(kMaxMessageSize), 0});
    FrameAssembler a;
    EXPECT_EQ(a.Feed(chunk, sizeof chunk), FrameAssembler::Result::kNeedMore);
    EXPECT_TRUE(a.in_progress());
    EXPECT_LE(a.capacity(), 2u); // at most twice what came
    a.Abandon();                 // the peer stalled
    EXPECT_FALSE(a.in_progress());
    EXPECT_EQ(a.capacity(), 0u);
    EXPECT_EQ(a.dropped(), 1u);
}

TEST(FrameTest, QuitRequestForTheLongestNodeNameArrives) {
    std::string name(kMaxNodeName, 'n');
    std::vector<uint8_t> payload(name.c_str(), name.c_str() + name.size() + 1);
    auto chunks = Chunks(FrameKind::kQuitRequest, payload);
    FrameAssembler a;
    ASSERT_EQ(a.Feed(chunks[0].data(), chunks[0].size()), FrameAssembler::Result::kComplete);
    EXPECT_EQ(a.kind(), FrameKind::kQuitRequest);
    void* p = a.TakePayload();
    EXPECT_EQ(std::string(static_cast<const char*>(p)), name);
    FreeBlock(p);
    // One byte more is no node name of ours.
    payload.insert(payload.begin(), 'x');
    chunks = Chunks(FrameKind::kQuitRequest, payload);
    EXPECT_EQ(a.Feed(chunks[0].data(), chunks[0].size()), FrameAssembler::Result::kDropped);
}

TEST(FrameTest, LaterChunkWithMoreBytesThanRemainIsRefused) {
    // A whole, valid 200-byte message; its second chunk carries 50 bytes beyond the frame's end.
    // Accepting it would write past the frame's block (or deliver a message with bytes that
    // belong to no frame).
    std::vector<uint8_t> m = BigMessage(200);
    auto chunk = [&](uint32_t offset, size_t from, size_t n) {
        std::vector<uint8_t> c(kChunkHeaderSize);
        WriteChunkHeader(c.data(), {FrameKind::kMessage, 200, offset});
        for (size_t i = 0; i < n; ++i)
            c.push_back(from + i < m.size() ? m[from + i] : 0xEE);
        return c;
    };
    const std::vector<uint8_t> first = chunk(0, 0, 100), over = chunk(100, 100, 150);
    FrameAssembler a;
    ASSERT_EQ(a.Feed(first.data(), first.size()), FrameAssembler::Result::kNeedMore);
    EXPECT_EQ(a.Feed(over.data(), over.size()), FrameAssembler::Result::kDropped);
    EXPECT_FALSE(a.in_progress());
    EXPECT_EQ(a.dropped(), 1u);
    // One byte fewer than remain, then the rest: the same frame arrives whole.
    const std::vector<uint8_t> part = chunk(100, 100, 99), last = chunk(199, 199, 1);
    ASSERT_EQ(a.Feed(first.data(), first.size()), FrameAssembler::Result::kNeedMore);
    ASSERT_EQ(a.Feed(part.data(), part.size()), FrameAssembler::Result::kNeedMore);
    ASSERT_EQ(a.Feed(last.data(), last.size()), FrameAssembler::Result::kComplete);
    void* p = a.TakePayload();
    EXPECT_EQ(std::memcmp(p, m.data(), m.size()), 0);
    FreeBlock(p);
}
