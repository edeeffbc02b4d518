// The output buffer, the reading loop on both branches and the output item.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST(ReadOutput, Win95ReadsOnlyWhatIsWaitingAndEndsWhenTheProcessEndedAndThePipeIsEmpty) {
    ScriptedPipe pipe;
    pipe.chunks = {"first", std::string(5000, 's')};
    pipe.ends_at_wait = 3;
    pipe.peek_error = 109;
    OutputBuffer b;
    size_t wanted = 0;
    std::vector<uint32_t> peek_errors;
    EXPECT_EQ(ReadOutput(pipe, true, b, &wanted, [&](uint32_t e) { peek_errors.push_back(e); }),
              ReadOutcome::kEnded);
    EXPECT_EQ(Taken(b), "first" + std::string(5000, 's'));
    EXPECT_EQ(peek_errors, std::vector<uint32_t>{109});
    EXPECT_EQ(pipe.reads_beyond_waiting, 0); // a read never blocks in this mode
    EXPECT_EQ(pipe.waits.size(), 3u);        // no wait while data flows, none after the end
}

TEST(ReadOutput, AQuietProcessIsPolledAtMostEveryHalfSecond) {
    ScriptedPipe pipe;
    pipe.ends_at_wait = 12;
    OutputBuffer b;
    size_t wanted = 0;
    EXPECT_EQ(ReadOutput(pipe, true, b, &wanted, nullptr), ReadOutcome::kEnded);
    ASSERT_EQ(pipe.waits.size(), 12u);
    EXPECT_EQ(pipe.waits.front(), 1u);
    for (size_t i = 1; i < pipe.waits.size(); ++i)
        EXPECT_EQ(pipe.waits[i], std::min(2 * pipe.waits[i - 1], kWin95PollMs)) << i;
    EXPECT_EQ(pipe.waits.back(), kWin95PollMs);
    EXPECT_TRUE(b.Empty());
}

TEST(ReadOutput, OutputBeyondTheLimitIsDrainedAndDropped) {
    ScriptedPipe pipe;
    pipe.chunks = {std::string(100, 'a'), std::string(100, 'b'), std::string(9000, 'c')};
    OutputBuffer b(150);
    size_t wanted = 0;
    EXPECT_EQ(ReadOutput(pipe, false, b, &wanted, nullptr), ReadOutcome::kEnded);
    EXPECT_TRUE(pipe.chunks.empty()); // the child never blocks on a full pipe
    EXPECT_TRUE(b.Cut());
    EXPECT_EQ(Taken(b), std::string(100, 'a') + std::string(50, 'b'));
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
    // ANSI: converted up to the first zero, every byte but the final zero.
    OutputItem ansi =
        EncodeOutput(Block(std::string("a\x81\0\x81", 4)), 4, false, false, 100, oem, cu);
    ASSERT_EQ(ansi.size, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ansi.data.get()), 4),
              std::string("a\xFC\0\x81", 4));
    EXPECT_EQ(ansi.encoding, kEncodingAnsi);
    // Converted too large: cut in proportion, and where wide characters come first, to a
    // third of the limit. Here 'Z' takes three bytes.
    auto wide_z = [](const char* ansi, std::string* out) {
        for (out->clear(); *ansi; ++ansi)
            *out += *ansi == 'Z' ? std::string("ZZZ") : std::string(1, *ansi);
        return true;
    };
    const struct {
        std::string in;
        size_t kept;
    } cuts[] = {{std::string(30, 'a'), 19},
                {std::string(10, 'Z') + std::string(10, 'a'), 6},
                {std::string(15, 'Z'), 6}};
    for (const auto& c : cuts) {
        OutputItem cut = EncodeOutput(Block(c.in), c.in.size(), true, false, 20, oem, wide_z);
        EXPECT_TRUE(cut.cut);
        EXPECT_EQ(cut.kept, c.kept);
        EXPECT_LE(cut.size, 20u);
        EXPECT_EQ(cut.encoding, kEncodingCompressedUnicode);
    }
    // A conversion that fails leaves the ANSI bytes, said so by the encoding.
    OutputItem f = EncodeOutput(Block("hi"), 2, true, false, 100, oem,
                                [](const char*, std::string*) { return false; });
    EXPECT_EQ(f.size, 2u);
    EXPECT_EQ(f.encoding, kEncodingAnsi);
}

} // namespace
} // namespace pm::exec::test
