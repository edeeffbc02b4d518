// Pieces of a large reply: their size, their headers and putting them back together.
#include <gtest/gtest.h>

#include "shared/remote/pieces.h"

namespace pm::remote {
namespace {

TEST(RemotePieces, SizesAndHeaders) {
    EXPECT_EQ(PieceSize(1048576), 1048576u - 1024);
    EXPECT_EQ(PieceSize(2048), 1024u);
    EXPECT_EQ(PieceSize(2047), 1023u);
    EXPECT_EQ(PieceSize(100), kMinPiece);
    EXPECT_EQ(PieceCount(0, 1000), 1u);
    EXPECT_EQ(PieceCount(1000, 1000), 1u);
    EXPECT_EQ(PieceCount(1001, 1000), 2u);
    EXPECT_EQ(PieceCount(10 * 1024 * 1024, PieceSize(1048576)), 11u);
    const HeaderList h = PieceHeaders(2, 3, 2500);
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0], (std::pair<std::string, std::string>{"Pm-Status", "0"}));
    EXPECT_EQ(h[1], (std::pair<std::string, std::string>{"Pm-Piece", "2/3"}));
    EXPECT_EQ(h[2], (std::pair<std::string, std::string>{"Pm-Size", "2500"}));
    uint32_t i = 0, n = 0;
    EXPECT_TRUE(ParsePiece("1/1", i, n));
    for (const char* bad : {"0/1", "2/1", "1/", "/1", "1-1", "a/b", "1/1000001", ""})
        EXPECT_FALSE(ParsePiece(bad, i, n)) << bad;
    GateStatus s;
    EXPECT_TRUE(ParseGateStatus("3", s));
    EXPECT_EQ(s, GateStatus::kNodeNotRunning);
    EXPECT_FALSE(ParseGateStatus("7", s));
    EXPECT_FALSE(ParseGateStatus("03", s));
}

TEST(RemotePieces, AssembleInAnyOrder) {
    const std::string whole = "0123456789abcdefghij"; // 20 bytes in pieces of 8: 8, 8, 4
    auto piece = [&](int k) { return whole.substr(8 * (k - 1), 8); };
    auto add = [&](PieceAssembler& a, int k, const std::string& bytes, const char* size = "20") {
        return a.Add(std::to_string(k) + "/3", size, reinterpret_cast<const uint8_t*>(bytes.data()),
                     bytes.size());
    };
    using R = PieceAssembler::Result;
    PieceAssembler a;
    EXPECT_EQ(add(a, 3, piece(3)), R::kNeedMore);
    EXPECT_EQ(add(a, 1, piece(1)), R::kNeedMore);
    EXPECT_EQ(add(a, 2, piece(2)), R::kComplete);
    EXPECT_EQ(a.Reply(), whole);

    PieceAssembler dup;
    EXPECT_EQ(add(dup, 1, piece(1)), R::kNeedMore);
    EXPECT_EQ(add(dup, 1, piece(1)), R::kBad);
    PieceAssembler size_changes;
    EXPECT_EQ(add(size_changes, 1, piece(1)), R::kNeedMore);
    EXPECT_EQ(add(size_changes, 2, piece(2), "21"), R::kBad);
    PieceAssembler short_total;
    EXPECT_EQ(add(short_total, 1, piece(1)), R::kNeedMore);
    EXPECT_EQ(add(short_total, 2, piece(2)), R::kNeedMore);
    EXPECT_EQ(add(short_total, 3, "abc"), R::kBad);
    PieceAssembler too_long;
    EXPECT_EQ(add(too_long, 1, piece(1) + piece(2) + "xxxxx"), R::kBad);

    PieceAssembler one;
    EXPECT_EQ(one.Add("1/1", "0", nullptr, 0), R::kComplete);
    EXPECT_EQ(one.Reply(), "");
}

} // namespace
} // namespace pm::remote
