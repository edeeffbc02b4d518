// The byte reader and the little-endian helpers. Buffers are heap blocks of exactly the tested
// size, so that AddressSanitizer catches a read one byte too far.
#include "shared/base/byte_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace pm {
namespace {

std::unique_ptr<uint8_t[]> Exact(std::initializer_list<uint8_t> bytes) {
    auto p = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), p.get());
    return p;
}

TEST(Endian, LoadsAndStoresLittleEndianAtAnyAlignment) {
    uint8_t b[7] = {0xEE, 0x78, 0x56, 0x34, 0x12, 0xFE, 0xFF};
    EXPECT_EQ(le::Load32(b + 1), 0x12345678u); // unaligned, low byte first
    EXPECT_EQ(le::Load16(b + 5), 0xFFFEu);     // high bit set stays unsigned
    le::Store32(b + 1, 0xA1B2C3D4u);
    le::Store16(b + 5, 0x0102);
    const uint8_t want[7] = {0xEE, 0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x01};
    EXPECT_EQ(0, memcmp(b, want, 7));
    EXPECT_EQ(le::Bytes32(0x00000100u), std::string("\x00\x01\x00\x00", 4));
}

TEST(ByteReader, SequentialReadsAdvanceAndEndExactlyAtTheEnd) {
    auto p = Exact({0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12});
    ByteReader r(p.get(), 7);
    EXPECT_EQ(r.U8(), 0x01);
    EXPECT_EQ(r.U16(), 0x1234);
    EXPECT_EQ(r.U32(), 0x12345678u);
    EXPECT_EQ(r.offset(), 7u);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_TRUE(r.ok());
}

// Each width at the last position where it fits, and one byte later.
TEST(ByteReader, BoundariesForEveryWidth) {
    struct Case {
        size_t size, at, width;
        bool fits;
    } cases[] = {
        {4, 3, 1, true},         {4, 4, 1, false},
        {4, 2, 2, true},         {4, 3, 2, false},
        {4, 0, 4, true},         {4, 1, 4, false},
        {3, 0, 4, false},        {0, 0, 1, false},
        {4, SIZE_MAX, 1, false}, {4, SIZE_MAX - 1, 4, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> v(c.size, 0xAB);
        auto p = std::make_unique<uint8_t[]>(c.size ? c.size : 1);
        std::copy(v.begin(), v.end(), p.get());
        ByteReader r(p.get(), c.size);
        uint32_t got = c.width == 1 ? r.U8At(c.at) : c.width == 2 ? r.U16At(c.at) : r.U32At(c.at);
        SCOPED_TRACE(testing::Message() << c.size << "/" << c.at << "/" << c.width);
        EXPECT_EQ(r.ok(), c.fits);
        EXPECT_EQ(got, c.fits ? (c.width == 1 ? 0xABu : c.width == 2 ? 0xABABu : 0xABABABABu) : 0u);
        EXPECT_EQ(r.BytesAt(c.at, c.width) != nullptr, c.fits);
    }
}

TEST(ByteReader, RemembersTheFirstFailureAndAnswersZeroAfterIt) {
    auto p = Exact({1, 0, 0, 0, 2, 0});
    ByteReader r(p.get(), 6);
    EXPECT_EQ(r.U32(), 1u);
    EXPECT_EQ(r.U32(), 0u); // only two bytes left: fails at 4, cursor stays
    EXPECT_EQ(r.offset(), 4u);
    EXPECT_EQ(r.U16(), 0u); // would fit, but the chain already failed
    EXPECT_EQ(r.U8At(0), 0u);
    EXPECT_EQ(r.U32At(100), 0u); // a later failure does not replace the first
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.error_offset(), 4u);
    ByteReader none(nullptr, 16); // null data reads nothing
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(none.U32(), 0u);
    EXPECT_FALSE(none.ok());
}

TEST(ByteReader, SeekAndSkipFailPastTheEnd) {
    auto p = Exact({5, 6, 7});
    ByteReader r(p.get(), 3);
    r.Seek(3); // the end itself is a valid position
    EXPECT_TRUE(r.ok());
    r.Seek(1);
    r.Skip(1);
    EXPECT_EQ(r.U8(), 7);
    r.Skip(1);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.error_offset(), 3u);
    ByteReader s(p.get(), 3);
    s.Seek(4);
    EXPECT_FALSE(s.ok());
}

TEST(ByteReader, CStringNeedsItsNulBeforeTheLimit) {
    auto p = Exact({'a', 'b', 0, 'c', 'd'});
    struct Case {
        size_t at, limit;
        const char* want; // null: the read fails
    } cases[] = {
        {0, 5, "ab"},     {0, 3, "ab"},    {2, 5, ""}, {0, 2, nullptr}, // NUL at the limit
        {3, 5, nullptr},                                                // runs to the end
        {3, 99, nullptr},                                               // limit beyond the end
        {5, 9, nullptr},  {4, 4, nullptr},
    };
    for (const Case& c : cases) {
        ByteReader r(p.get(), 5);
        std::string s = r.CStringAt(c.at, c.limit);
        SCOPED_TRACE(testing::Message() << c.at << "/" << c.limit);
        EXPECT_EQ(r.ok(), c.want != nullptr);
        EXPECT_EQ(s, c.want ? c.want : "");
    }
}

} // namespace
} // namespace pm
