// The console's monitor command as the agent forwards it to the monitor host (0x10D): both
// parameters byte for byte, and what the host and the remote path accept of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/monitor/forwarded_command.h"
#include "shared/text/text_string.h"

namespace pm::monitor {
namespace {

using namespace std::string_literals;

TEST(ForwardedCommand, PluginParameterByteForByte) {
    // The three texts in compressed unicode: one byte per ASCII character.
    const std::string expected = "\x2A\0\0\0"s    // size 42 = 25 + 7 + 10
                                 "\x01"s          // type 1
                                 "ek_U\\\0"s      // "en_US", NUL-padded to 6 bytes
                                 "\x02\0\0\0"s    // two texts
                                 "\x17\0\0\0"s    // the plug-in name at 23
                                 "\x1F\0\0\0"s    // the monitor id at 31 = 24 + 7
                                 "QDXKYER\0"s     // "TARNVEX"
                                 "406<88<042\0"s; // "1093223018"
    const std::string p0 = ForwardedPluginParam();
    EXPECT_EQ(p0, expected);
    for (auto [at, text] :
         {std::pair<size_t, const char*>{5, "en_US"}, {23, "TARNVEX"}, {31, "1093223018"}}) {
        TextString t(p0.c_str() + at);
        t.FromCompressedUnicode();
        EXPECT_STREQ(t.CStr(), text) << at;
    }
}

TEST(ForwardedCommand, DataParameterByteForByte) {
    const std::string data = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A";
    const std::string expected = "\x23\0\0\0"s       // size 35 = 25 + 10
                                 "\x02"s             // type 2
                                 "\0\0\0\0"s         // 0
                                 "\x0A\0\0\0"s       // the data's size
                                 "\x19\0\0\0"s       // the data at 25
                                 "\0\0\0\0\0\0\0\0"s // reserved
                                 + data;
    EXPECT_EQ(ForwardedDataParam(data), expected);
    EXPECT_EQ(ForwardedDataParam({}),
              "\x19\0\0\0\x02\0\0\0\0\0\0\0\0\x19\0\0\0"s + std::string(8, '\0'));
}

TEST(ForwardedCommand, UnwrapsAndEveryAlteredFieldIsRefused) {
    const std::string command(10, 'c');
    const std::vector<std::string> params = WrapForwarded(command);
    std::string out;
    ASSERT_TRUE(UnwrapForwarded(params, &out));
    EXPECT_EQ(out, command);
    // Each field of either parameter changed by one: refused.
    const std::vector<std::pair<size_t, size_t>> fields = {
        {0, 0},  {0, 4},  {0, 10}, {0, 11}, {0, 15}, {0, 19}, {0, 23}, {0, 30},
        {0, 31}, {0, 41}, {1, 0},  {1, 4},  {1, 5},  {1, 9},  {1, 13}};
    for (const auto& [param, at] : fields) {
        std::vector<std::string> bad = params;
        bad[param][at] = static_cast<char>(bad[param][at] + 1);
        EXPECT_FALSE(UnwrapForwarded(bad, &out)) << param << "@" << at;
    }
    std::vector<std::string> cut = params;
    cut[1].pop_back();
    EXPECT_FALSE(UnwrapForwarded(cut, &out));
    cut = params;
    cut[0].pop_back();
    EXPECT_FALSE(UnwrapForwarded(cut, &out));
    EXPECT_FALSE(UnwrapForwarded({params[0]}, &out));
    // An empty command unwraps: the host's command check refuses it.
    ASSERT_TRUE(UnwrapForwarded(WrapForwarded(""), &out));
    EXPECT_EQ(out, "");
}

// The remote path reads the operation where parameter 1's offset and size fields place the
// data, whatever its other header fields hold.
TEST(ForwardedCommand, DataIsFoundByItsOffsetAndSizeAlone) {
    std::string p1 = ForwardedDataParam("\x11\x01\0\0"s);
    p1[4] = 7;
    std::string_view data;
    ASSERT_TRUE(ForwardedData(p1, &data));
    EXPECT_EQ(data, "\x11\x01\0\0"s);
    for (size_t at : {9u, 13u}) {
        std::string bad = p1;
        bad[at] = static_cast<char>(bad[at] + 1);
        EXPECT_FALSE(ForwardedData(bad, &data)) << at;
    }
    EXPECT_FALSE(ForwardedData(p1 + "x", &data));
    EXPECT_FALSE(ForwardedData(p1.substr(0, 24), &data));
}

} // namespace
} // namespace pm::monitor
