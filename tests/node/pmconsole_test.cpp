#include <gtest/gtest.h>

#include <cctype>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/console_format.h"
#include "outside/pmconsole/console_request.h"
#include "tests/node/fake_console_io.h"

namespace pm::console {
namespace {

using test::FakeCompressed;
using test::FakeIo;

struct NumberCase {
    const char* text;
    bool ok;
    uint32_t value;
};

TEST(ConsoleArgs, ParseU32) {
    const NumberCase cases[] = {
        {"0", true, 0},
        {"1", true, 1},
        {"4294967295", true, 0xFFFFFFFF},
        {"4294967296", false, 0},
        {"0x73124533", true, 0x73124533},
        {"0XFFFFFFFF", true, 0xFFFFFFFF},
        {"0x100000000", false, 0},
        {"0x", false, 0},
        {"", false, 0},
        {"12a", false, 0},
        {"-1", false, 0},
        {" 1", false, 0},
    };
    for (const NumberCase& c : cases) {
        uint32_t v = 0;
        EXPECT_EQ(ParseU32(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ConsoleArgs, ParseHexBytes) {
    std::string b;
    ASSERT_TRUE(ParseHexBytes("0a0B ff:00-7f", b));
    EXPECT_EQ(b, std::string("\x0a\x0b\xff\x00\x7f", 5));
    ASSERT_TRUE(ParseHexBytes("0x0102", b));
    EXPECT_EQ(b, "\x01\x02");
    ASSERT_TRUE(ParseHexBytes("", b));
    EXPECT_EQ(b, "");
    for (const char* bad : {"abc", "a b", "zz"})
        EXPECT_FALSE(ParseHexBytes(bad, b)) << bad;
}

TEST(ConsoleArgs, ParametersInTheOrderGiven) {
    Request r;
    std::string error;
    ASSERT_TRUE(ParseRawArgs({"0x73124533", "--u32", "0x01020304", "--text", "ab", "--cu", "xy",
                              "--hex", "ff00", "--to", "Other", "--timeout", "250", "--json"},
                             &FakeCompressed, r, error))
        << error;
    EXPECT_EQ(r.code, 0x73124533u);
    ASSERT_EQ(r.params.size(), 4u);
    EXPECT_EQ(r.params[0], std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(r.params[1], std::string("ab\0", 3));
    EXPECT_EQ(r.params[2], std::string("XY\0", 3));
    EXPECT_EQ(r.params[3], std::string("\xff\x00", 2));
    EXPECT_EQ(r.to, "Other");
    EXPECT_EQ(r.timeout_ms, 250u);
    EXPECT_TRUE(r.json);
    // The defaults.
    Request d;
    ASSERT_TRUE(ParseRawArgs({"7"}, &FakeCompressed, d, error));
    EXPECT_EQ(d.code, 7u);
    EXPECT_TRUE(d.params.empty());
    EXPECT_EQ(d.to, "ProcMgr");
    EXPECT_EQ(d.timeout_ms, 30000u);
    EXPECT_FALSE(d.json);
}

TEST(ConsoleArgs, BadUsage) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--json"},
        {"x1"},
        {"1", "2"},
        {"1", "--u32"},
        {"1", "--u32", "x"},
        {"1", "--hex", "1"},
        {"1", "--cu", "fail"},
        {"1", "--to", ""},
        {"1", "--timeout", "soon"},
        {"1", "--bogus"},
    };
    for (const auto& args : bad) {
        Request r;
        std::string error;
        EXPECT_FALSE(ParseRawArgs(args, &FakeCompressed, r, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(ConsoleFormat, TextShowsHexAndPrintableTextJsonOneObject) {
    Reply r;
    r.outcome = Reply::Outcome::kReply;
    r.status = 1;
    r.items = {std::string("\x01\x00\x00\x00", 4), std::string("abc\0", 4), ""};
    EXPECT_EQ(FormatText(r), "status: 1 (0x00000001)\n"
                             "item 0 (4 bytes): 01000000\n"
                             "item 1 (4 bytes): 61626300  \"abc\"\n"
                             "item 2 (0 bytes): \n");
    // JSON: one object, the status unsigned.
    r.items.clear();
    r.status = 0xFFFF0002;
    EXPECT_EQ(FormatJson(r), "{\"status\": 4294901762, \"items\": []}\n");
    r.status = 0;
    r.items = {"\x0a\xff", "z"};
    EXPECT_EQ(FormatJson(r), "{\"status\": 0, \"items\": [\"0aff\", \"7a\"]}\n");
}

TEST(Console, OutcomesWithoutReplyExitThree) {
    for (Reply::Outcome o :
         {Reply::Outcome::kAbsentNode, Reply::Outcome::kNotSent, Reply::Outcome::kNoReply}) {
        FakeIo io;
        io.answer.outcome = o;
        EXPECT_EQ(RunConsole({"raw", "1", "--to", "Nobody"}, io), kExitNoReply);
        EXPECT_EQ(io.out, "");
        EXPECT_NE(io.err.find("Nobody"), std::string::npos);
    }
}

// Each command answers --help with its usage and sends nothing; so does the console; no command,
// an unknown one or one without its arguments is a usage error.
TEST(Console, UsageAndHelp) {
    FakeIo io;
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"frobnicate"}, {"raw"}})
        EXPECT_EQ(RunConsole(args, io), kExitUsage);
    EXPECT_EQ(RunConsole({"--help"}, io), kExitReply);
    EXPECT_NE(io.out.find("raw"), std::string::npos);
    for (const ConsoleCommand& c : ConsoleCommands()) {
        FakeIo help;
        EXPECT_EQ(RunConsole({c.name, "--help"}, help), kExitReply) << c.name;
        EXPECT_EQ(help.out.rfind("usage: pmconsole ", 0), 0u) << c.name;
        EXPECT_TRUE(help.sent.empty());
    }
    EXPECT_TRUE(io.sent.empty());
}

} // namespace
} // namespace pm::console
