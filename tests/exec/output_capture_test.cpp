// The output buffer, the reading loop on both branches and the output item.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "procman/w32/exec/output_capture.h"
#include "shared/text/ucd_core.h"
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

TEST(OutputBuffer, KeepsWhatTheBudgetCoversAndNothingAfter) {
    // The first segment (16 KiB) costs twice its size and the two terminators' bytes; the
    // second (32 KiB) would cost 64 KiB, held by another execution for now.
    CaptureBudget budget(2 * 16384 + 2 + 2 * 32768);
    BudgetShare other(&budget);
    ASSERT_TRUE(other.Grow(2 * 32768));
    std::string kept;
    {
        BudgetShare share(&budget);
        OutputBuffer b(kMaxOutputBytes, &share);
        const std::string chunk(10000, 'k');
        ASSERT_TRUE(b.Append(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()));
        EXPECT_FALSE(b.Cut());
        ASSERT_TRUE(b.Append(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()));
        EXPECT_TRUE(b.Cut());
        EXPECT_EQ(b.Bytes(), 16384u);
        EXPECT_EQ(share.Held(), 2 * 16384u + 2);
        // The other execution ends: the output stays cut where it was, with no hole in it.
        other.Clear();
        ASSERT_TRUE(b.Append(reinterpret_cast<const uint8_t*>("late"), 4));
        kept = Taken(b);
    }
    EXPECT_EQ(kept, std::string(16384, 'k'));
    EXPECT_EQ(budget.InUse(), 0u);
}

MallocBlock Block(const std::string& bytes) {
    auto* p = static_cast<uint8_t*>(std::malloc(bytes.size() + 1));
    std::memcpy(p, bytes.data(), bytes.size());
    p[bytes.size()] = 0;
    return MallocBlock(p);
}

// A double-byte code page like 932: lead bytes 0x81-0x9F and 0xE0-0xFC take the next byte,
// whatever it is (a trail byte can have a lead byte's value); a lead byte at the end is '?'.
class DoubleByteCodec final : public kavucd::Codec {
public:
    static bool Lead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
    bool ToUcs2(const char* text, std::vector<uint16_t>& units) override {
        units.clear();
        for (auto* p = reinterpret_cast<const uint8_t*>(text); *p; ++p) {
            if (!Lead(*p)) {
                units.push_back(*p);
            } else if (p[1] == 0) {
                units.push_back('?');
            } else {
                units.push_back(uint16_t(p[0] << 8 | p[1]));
                ++p;
            }
        }
        return true;
    }
    bool FromUcs2(const uint16_t*, size_t, std::string&) override { return false; }
};

// Code page 65001 as MultiByteToWideChar has it: a sequence that is not well formed gives
// one U+FFFD for its longest valid start (or its single byte), and decoding resumes after it;
// characters beyond U+FFFF become two surrogate units.
class Utf8Codec final : public kavucd::Codec {
public:
    bool ToUcs2(const char* text, std::vector<uint16_t>& units) override {
        units.clear();
        for (auto* p = reinterpret_cast<const uint8_t*>(text); *p;) {
            const uint8_t b = *p;
            size_t length = 1;
            uint32_t c = b;
            uint8_t low = 0x80, high = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
                length = 2, c = b & 0x1F;
            } else if (b >= 0xE0 && b <= 0xEF) {
                length = 3, c = b & 0x0F;
                low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
            } else if (b >= 0xF0 && b <= 0xF4) {
                length = 4, c = b & 0x07;
                low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
            } else if (b >= 0x80) {
                units.push_back(0xFFFD);
                ++p;
                continue;
            }
            size_t i = 1;
            for (; i < length && p[i] >= low && p[i] <= high; ++i, low = 0x80, high = 0xBF)
                c = c << 6 | (p[i] & 0x3F);
            p += i;
            if (i < length) {
                units.push_back(0xFFFD);
            } else if (c >= 0x10000) {
                units.push_back(uint16_t(0xD800 | (c - 0x10000) >> 10));
                units.push_back(uint16_t(0xDC00 | (c & 0x3FF)));
            } else {
                units.push_back(uint16_t(c));
            }
        }
        return true;
    }
    bool FromUcs2(const uint16_t*, size_t, std::string&) override { return false; }
};

ToCompressed Through(kavucd::Codec& codec) {
    return [&codec](const char* ansi, char* dst, int size) {
        return kavucd::AnsiToCompressed(ansi, dst, size, kavucd::kCompressedUnicodeCodePage, 0,
                                        codec);
    };
}

// The library's conversion of a whole text, terminator included.
std::string Whole(const ToCompressed& convert, const std::string& text) {
    std::string out(size_t(convert(text.c_str(), nullptr, 0)), '\0');
    EXPECT_EQ(convert(text.c_str(), &out[0], int(out.size())), int(out.size()));
    return out;
}

std::string ItemText(const OutputItem& item) {
    return std::string(reinterpret_cast<const char*>(item.data.get()), item.size);
}

// Text that splits at every byte: ASCII, characters of every length, trail bytes with a lead
// byte's value, lead bytes before a line feed, and (for UTF-8) sequences cut short.
std::string MixedText(CharacterLayout::Kind kind, size_t bytes, unsigned seed) {
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < bytes) {
        const unsigned pick = random() % 8;
        if (pick < 2) {
            text += char('a' + random() % 26);
        } else if (kind == CharacterLayout::Kind::kDoubleByte) {
            static const char* const kPieces[] = {"\x82\xA0", "\x81\x81", "\xE0\x9F",
                                                  "\x93\x0A", "\xFC\xFC", "\x88\x41"};
            text += kPieces[random() % 6];
        } else {
            // 2, 3 and 4 bytes, a surrogate pair's worth, and malformed: a lead byte cut short,
            // a stray continuation byte, an overlong lead, a sequence missing its last byte.
            static const char* const kPieces[] = {
                "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE2\x82",        "\x80",
                "\xC0\xAF", "\xF0\x9F\x98", "\xED\xA0\x80",     "\xF4\x90\x80\x80"};
            text += kPieces[random() % 9];
        }
    }
    return text;
}

OutputItem Piecewise(const std::string& text, const CharacterLayout& layout, size_t limit,
                     const ToCompressed& convert, size_t piece, BudgetShare* share = nullptr) {
    OutputBuffer buffer;
    for (size_t at = 0; at < text.size(); at += 997) // reads of odd sizes
        EXPECT_TRUE(buffer.Append(reinterpret_cast<const uint8_t*>(text.data()) + at,
                                  std::min<size_t>(997, text.size() - at)));
    BudgetShare unbounded(nullptr);
    return EncodeCompressed(buffer, limit, share ? *share : unbounded, layout, nullptr, convert,
                            piece);
}

struct Layouts {
    DoubleByteCodec dbcs;
    Utf8Codec utf8;
    struct Row {
        const char* name;
        CharacterLayout layout;
        kavucd::Codec* codec;
    };
    std::vector<Row> rows;
    Layouts() {
        CharacterLayout single, dbl, u8;
        dbl.kind = CharacterLayout::Kind::kDoubleByte;
        for (unsigned b = 0; b < 256; ++b)
            dbl.lead[b] = DoubleByteCodec::Lead(uint8_t(b));
        u8.kind = CharacterLayout::Kind::kUtf8;
        rows = {{"windows-1252", single, &kavucd::Windows1252Codec()},
                {"double-byte", dbl, &dbcs},
                {"utf-8", u8, &utf8}};
    }
};

// In pieces of any size, over segments of the buffer that end inside characters, the item is
// byte for byte the library's conversion of the whole text.
TEST(EncodeCompressed, PiecesGiveTheWholeConversionByteForByte) {
    Layouts layouts;
    for (const auto& row : layouts.rows) {
        const ToCompressed convert = Through(*row.codec);
        // 40,000 bytes: across the first two segments of the buffer (16 and 32 KiB).
        for (unsigned seed = 1; seed <= 4; ++seed) {
            const std::string text = MixedText(row.layout.kind, 40000, seed);
            const std::string whole = Whole(convert, text);
            for (size_t piece : {size_t(4), size_t(5), size_t(7), size_t(64), kConvertPiece}) {
                SCOPED_TRACE(std::string(row.name) + " seed " + std::to_string(seed) + " piece " +
                             std::to_string(piece));
                OutputItem item = Piecewise(text, row.layout, kMaxOutputBytes, convert, piece);
                EXPECT_EQ(item.encoding, kEncodingCompressedUnicode);
                EXPECT_FALSE(item.cut);
                EXPECT_EQ(item.kept, text.size());
                EXPECT_TRUE(ItemText(item) == whole); // no 100 KB diff on failure
            }
        }
    }
}

// Too large converted: the item is the conversion of the longest start of whole characters
// that fits with its terminator, and the next character would not have.
TEST(EncodeCompressed, CutsAfterTheLastWholeCharacterThatFits) {
    Layouts layouts;
    for (const auto& row : layouts.rows) {
        const ToCompressed convert = Through(*row.codec);
        const std::string text = MixedText(row.layout.kind, 3000, 7);
        for (size_t limit : {size_t(1), size_t(2), size_t(3), size_t(4), size_t(101), size_t(1000),
                             size_t(2047)}) {
            SCOPED_TRACE(std::string(row.name) + " limit " + std::to_string(limit));
            OutputItem item = Piecewise(text, row.layout, limit, convert, 64);
            ASSERT_TRUE(item.cut);
            ASSERT_LT(item.kept, text.size());
            EXPECT_LE(item.size, limit);
            EXPECT_EQ(ItemText(item), Whole(convert, text.substr(0, item.kept)));
            // One character more would not have fit: the shortest run of whole characters
            // after the cut (a malformed UTF-8 sequence goes with the byte after it).
            const auto* rest = reinterpret_cast<const uint8_t*>(text.data()) + item.kept;
            size_t next = 1;
            while (WholeCharacters(row.layout, rest, next) == 0)
                ++next;
            const size_t longer_size = Whole(convert, text.substr(0, item.kept + next)).size();
            EXPECT_GT(longer_size, limit);
        }
    }
}
OutputBuffer& Filled(OutputBuffer& b, const std::string& bytes) {
    EXPECT_TRUE(b.Append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    return b;
}

TEST(EncodeOutput, Items) {
    auto oem = [](uint8_t* t, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (t[i] == 0x81) t[i] = 0xFC;
    };
    // ANSI: converted up to the first zero, every byte but the final zero.
    OutputItem ansi = EncodeOutput(Block(std::string("a\x81\0\x81", 4)), 4, false, oem);
    EXPECT_EQ(ItemText(ansi), std::string("a\xFC\0\x81", 4));
    EXPECT_EQ(ansi.encoding, kEncodingAnsi);
    // Compressed unicode: the text up to the first zero, from OEM to ANSI first, one zero.
    const ToCompressed cu = Through(kavucd::Windows1252Codec());
    BudgetShare unbounded(nullptr);
    OutputBuffer zero;
    OutputItem text =
        EncodeCompressed(Filled(zero, std::string("a\x81\0\x81", 4)), 100, unbounded, {}, oem, cu);
    EXPECT_EQ(ItemText(text), Whole(cu, "a\xFC"));
    EXPECT_EQ(text.encoding, kEncodingCompressedUnicode);
    EXPECT_FALSE(text.cut);
    EXPECT_EQ(text.kept, 4u);
    // A conversion that fails leaves the ANSI bytes, said so by the encoding.
    OutputBuffer hi;
    OutputItem f = EncodeCompressed(Filled(hi, "h\x81"), 100, unbounded, {}, oem,
                                    [](const char*, char*, int) { return 0; });
    EXPECT_EQ(ItemText(f), "h\xFC");
    EXPECT_EQ(f.encoding, kEncodingAnsi);
    // Nothing captured: an empty item.
    OutputBuffer none;
    OutputItem empty = EncodeCompressed(none, 100, unbounded, {}, oem, cu);
    EXPECT_EQ(empty.size, 0u);
    EXPECT_EQ(empty.encoding, kEncodingAnsi);
}

// The item and the buffer together, and then the item and the reply's copy, stay within what
// the budget grants: a converted text that would need more is cut to what it covers.
TEST(EncodeCompressed, AnItemBeyondTheBudgetIsCutToWhatItCovers) {
    const ToCompressed cu = Through(kavucd::Windows1252Codec());
    const std::string euros(10000, '\x80'); // each two bytes converted
    for (bool roomy : {true, false}) {
        SCOPED_TRACE(roomy ? "budget for all of it" : "budget for the buffer");
        CaptureBudget budget(roomy ? 2 * 20001 : 2 * 16384 + 2);
        BudgetShare share(&budget);
        OutputBuffer buffer(kMaxOutputBytes, &share);
        OutputItem item =
            EncodeCompressed(Filled(buffer, euros), kMaxOutputBytes, share, {}, nullptr, cu);
        EXPECT_EQ(item.encoding, kEncodingCompressedUnicode);
        EXPECT_EQ(item.cut, !roomy);
        // The first segment and the item, then the item and the reply's copy of it.
        EXPECT_LE(std::max(16384 + item.size, 2 * item.size), budget.Total());
        EXPECT_EQ(buffer.Capacity(), 0u); // freed before the reply is packed
        EXPECT_EQ(ItemText(item), Whole(cu, euros.substr(0, item.kept)));
        EXPECT_EQ(item.kept, roomy ? 10000u : 16384u / 2);
    }
}

} // namespace
} // namespace pm::exec::test
