// The output buffer, the reading loop on both branches and the output item.
#include <gtest/gtest.h>

#include <cstring>

#include "procman/w32/exec/output_capture.h"
#include "tests/exec/fake_exec_platform.h"

namespace pm::exec::test {
namespace {

std::string Taken(OutputBuffer& b, size_t* size = nullptr) {
    size_t n = b.Bytes();
    if (size) *size = n;
    MallocBlock block(b.Take());
    if (!block) return "<none>";
    EXPECT_EQ(block.get()[n], 0); // one terminating zero
    return std::string(reinterpret_cast<char*>(block.get()), n);
}

TEST(OutputBuffer, KeepsEveryByteInOrderAcrossSegments) {
    OutputBuffer b;
    std::string expected;
    for (int i = 0; i < 3000; ++i) { // about 6 MB in uneven chunks
        std::string chunk(size_t(1 + (i * 7919) % 4096), char('a' + i % 26));
        expected += chunk;
        ASSERT_TRUE(b.Append(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()));
    }
    EXPECT_EQ(b.Bytes(), expected.size());
    EXPECT_EQ(Taken(b), expected);
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(b.Take(), nullptr);
}

TEST(OutputBuffer, ZeroBytesInsideAreKeptAndTheLimitRefuses) {
    OutputBuffer b(10);
    const uint8_t with_zero[] = {'a', 0, 'b'};
    ASSERT_TRUE(b.Append(with_zero, 3));
    EXPECT_TRUE(b.Append(with_zero, 0));
    const uint8_t eight[8] = {};
    EXPECT_FALSE(b.Append(eight, 8)); // 11 > 10: refused, nothing appended
    EXPECT_EQ(b.Bytes(), 3u);
    EXPECT_EQ(Taken(b), std::string("a\0b", 3));
}

class ScriptedPipe : public CaptureSource {
public:
    std::deque<std::string> chunks;
    int process_ends_after_waits = 0; // Windows 95 mode: the wait that sees the end
    bool peek_fails_once = false;
    std::vector<uint32_t> waits, reads;
    bool WaitProcess(uint32_t ms) override {
        waits.push_back(ms);
        return int(waits.size()) >= process_ends_after_waits;
    }
    bool BytesWaiting(uint32_t* count, uint32_t* error) override {
        if (peek_fails_once) {
            peek_fails_once = false;
            *error = 109;
            return false;
        }
        *count = chunks.empty() ? 0 : uint32_t(chunks.front().size());
        return true;
    }
    bool Read(uint8_t* chunk, uint32_t size, uint32_t* got) override {
        reads.push_back(size);
        if (chunks.empty()) return false;
        std::string& f = chunks.front();
        uint32_t n = std::min<uint32_t>(size, uint32_t(f.size()));
        std::memcpy(chunk, f.data(), n);
        f.erase(0, n);
        if (f.empty()) chunks.pop_front();
        *got = n;
        return true;
    }
};

TEST(ReadOutput, NtReadsUntilThePipeBreaks) {
    ScriptedPipe pipe;
    pipe.chunks = {std::string(10000, 'x'), "tail"};
    OutputBuffer b;
    size_t wanted = 0;
    EXPECT_EQ(ReadOutput(pipe, false, b, &wanted, nullptr), ReadOutcome::kEnded);
    EXPECT_TRUE(pipe.waits.empty());
    for (uint32_t r : pipe.reads)
        EXPECT_EQ(r, kReadChunk);
    EXPECT_EQ(Taken(b), std::string(10000, 'x') + "tail");
}

TEST(ReadOutput, Win95PollsOnlyWhileIdleAndEndsWhenTheProcessEndedAndThePipeIsEmpty) {
    ScriptedPipe pipe;
    pipe.chunks = {"first", "second"};
    pipe.process_ends_after_waits = 3;
    pipe.peek_fails_once = true;
    OutputBuffer b;
    size_t wanted = 0;
    std::vector<uint32_t> peek_errors;
    EXPECT_EQ(ReadOutput(pipe, true, b, &wanted, [&](uint32_t e) { peek_errors.push_back(e); }),
              ReadOutcome::kEnded);
    EXPECT_EQ(Taken(b), "firstsecond");
    EXPECT_EQ(peek_errors, std::vector<uint32_t>{109});
    // Pass 1: peek failed (1 ms); 2: read "first" after 2 ms; 3: read "second" at once; 4:
    // nothing waiting, no wait; 5: idle again (1 ms), the process has ended.
    EXPECT_EQ(pipe.waits, (std::vector<uint32_t>{1, 2, 1}));
    // Reads ask only for what is waiting: never blocking in this mode.
    EXPECT_EQ(pipe.reads, (std::vector<uint32_t>{5, 6}));
}

TEST(ReadOutput, AQuietProcessIsPolledEveryHalfSecond) {
    ScriptedPipe pipe;
    pipe.process_ends_after_waits = 12;
    OutputBuffer b;
    size_t wanted = 0;
    EXPECT_EQ(ReadOutput(pipe, true, b, &wanted, nullptr), ReadOutcome::kEnded);
    EXPECT_EQ(pipe.waits, (std::vector<uint32_t>{1, 2, 4, 8, 16, 32, 64, 128, 256, 500, 500, 500}));
    EXPECT_TRUE(b.Empty());
}

TEST(ReadOutput, ABufferThatCannotGrowReportsTheSizeWanted) {
    ScriptedPipe pipe;
    pipe.chunks = {std::string(100, 'a'), std::string(100, 'b')};
    OutputBuffer b(150);
    size_t wanted = 0;
    EXPECT_EQ(ReadOutput(pipe, false, b, &wanted, nullptr), ReadOutcome::kNoMemory);
    EXPECT_EQ(wanted, 201u);
}

MallocBlock Block(const std::string& bytes) {
    auto* p = static_cast<uint8_t*>(std::malloc(bytes.size() + 1));
    std::memcpy(p, bytes.data(), bytes.size());
    p[bytes.size()] = 0;
    return MallocBlock(p);
}

TEST(EncodeOutput, Items) {
    auto oem = [](uint8_t* t, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (t[i] == 0x81) t[i] = 0xFC;
    };
    auto cu = [](const char* ansi, std::string* out) {
        *out = std::string("<") + ansi + ">";
        return true;
    };
    // Nothing captured.
    OutputItem none = EncodeOutput(nullptr, 0, true, oem, cu);
    EXPECT_EQ(none.size, 0u);
    EXPECT_EQ(none.encoding, kEncodingAnsi);
    // ANSI: converted up to the first zero, every byte but the final zero.
    OutputItem ansi = EncodeOutput(Block(std::string("a\x81\0\x81", 4)), 4, false, oem, cu);
    ASSERT_EQ(ansi.size, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ansi.data.get()), 4),
              std::string("a\xFC\0\x81", 4));
    EXPECT_EQ(ansi.encoding, kEncodingAnsi);
    // Unicode: the converted text and one zero.
    OutputItem u = EncodeOutput(Block("hi\x81"), 3, true, oem, cu);
    ASSERT_EQ(u.size, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(u.data.get()), 6), std::string("<hi\xFC>\0", 6));
    EXPECT_EQ(u.encoding, kEncodingCompressedUnicode);
    // A conversion that fails leaves the ANSI bytes, said so by the encoding.
    OutputItem f =
        EncodeOutput(Block("hi"), 2, true, oem, [](const char*, std::string*) { return false; });
    EXPECT_EQ(f.size, 2u);
    EXPECT_EQ(f.encoding, kEncodingAnsi);
}

} // namespace
} // namespace pm::exec::test
