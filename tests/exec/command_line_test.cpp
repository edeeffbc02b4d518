// Expansion of $(NAME) references, the "//" pairs, the limits, and the backslash fix-up.
#include <gtest/gtest.h>

#include "procman/w32/exec/command_line.h"
#include "shared/text/compressed_unicode.h"
#include "tests/exec/fake_exec_platform.h"

namespace pm::exec::test {
namespace {

struct ExpandCase {
    const char* in;
    Expansion outcome;
    const char* out;
};

TEST(ExpandVariables, Cases) {
    MapVariables v;
    v.environment = {{"A", "alpha"}, {"BB", "b"}, {"EMPTY", ""}};
    v.registry = {{"EMPTY", {"from-registry", false}},
                  {"REG", {"r", false}},
                  {"EXP", {"%WINDIR%\\x", true}},
                  {"BADEXP", {"%X%", true}},
                  {"", {"nameless", false}}};
    v.expansions = {{"%WINDIR%\\x", "C:\\windows\\x"}};
    const ExpandCase cases[] = {
        {"plain", Expansion::kExpanded, "plain"},
        {"$(A)x$(BB)", Expansion::kExpanded, "alphaxb"}, // later shorter name, no tail mixed in
        {"$(BB)x$(A)", Expansion::kExpanded, "bxalpha"},
        {"run $(NOPE) now", Expansion::kExpanded, "run  now"}, // undefined: nothing
        {"run $(A now", Expansion::kUnclosed, ""},
        {"$(A)$(", Expansion::kUnclosed, ""},
        {"a//b", Expansion::kExpanded, "a\\b"},
        {"a////b", Expansion::kExpanded, "a\\//b"}, // four: backslash, then two slashes
        {"a///b", Expansion::kExpanded, "a\\/b"},
        {"//", Expansion::kExpanded, "\\"},
        {"$(EMPTY)", Expansion::kExpanded, "from-registry"}, // empty in the environment
        {"$(REG)", Expansion::kExpanded, "r"},
        {"$(EXP)", Expansion::kExpanded, "C:\\windows\\x"},
        {"[$(BADEXP)]", Expansion::kExpanded, "[]"}, // expansion failed: empty
        {"$()", Expansion::kExpanded, "nameless"},
        {"$(A)//$(BB)", Expansion::kExpanded, "alpha\\b"},
        {"x)y$(A)", Expansion::kExpanded, "x)yalpha"},
    };
    for (const auto& c : cases) {
        std::string out = "untouched";
        EXPECT_EQ(ExpandVariables(c.in, v, &out), c.outcome) << c.in;
        if (c.outcome == Expansion::kExpanded)
            EXPECT_EQ(out, c.out) << c.in;
        else
            EXPECT_EQ(out, "untouched") << c.in;
    }
}

TEST(ExpandVariables, LimitsAreRefusedNotCut) {
    MapVariables v;
    const std::string longest_name(kMaxVariableText, 'n');
    v.environment = {{"LONG", std::string(kMaxVariableText, 'v')},
                     {"TOOLONG", std::string(kMaxVariableText + 1, 'v')},
                     {longest_name, "named"}};
    std::string out;
    EXPECT_EQ(ExpandVariables("$(LONG)", v, &out), Expansion::kExpanded);
    EXPECT_EQ(out.size(), kMaxVariableText);
    EXPECT_EQ(ExpandVariables("$(" + longest_name + ")", v, &out), Expansion::kExpanded);
    EXPECT_EQ(out, "named");
    EXPECT_EQ(ExpandVariables("$(TOOLONG)", v, &out), Expansion::kTooLong);
    EXPECT_EQ(ExpandVariables("$(" + std::string(kMaxVariableText + 1, 'n') + ")", v, &out),
              Expansion::kTooLong);
    EXPECT_EQ(ExpandVariables(std::string(kMaxCommandLine, 'c'), v, &out), Expansion::kExpanded);
    EXPECT_EQ(ExpandVariables(std::string(kMaxCommandLine + 1, 'c'), v, &out), Expansion::kTooLong);
    // Two values that fit alone but not together.
    EXPECT_EQ(ExpandVariables("$(LONG)$(LONG)12", v, &out), Expansion::kTooLong); // 4,096
    EXPECT_EQ(ExpandVariables("$(LONG)$(LONG)1", v, &out), Expansion::kExpanded); // 4,095
    // A registry value expanded beyond the room.
    v.registry = {{"R", {"%BIG%", true}}};
    v.expansions = {{"%BIG%", std::string(kMaxVariableText + 1, 'e')}};
    EXPECT_EQ(ExpandVariables("$(R)", v, &out), Expansion::kTooLong);
}

TEST(FixBackslashes, ReplacesOnlyInOtherCodePages) {
    const std::string path = Cu("C:\\dir\\x.exe");
    std::string bytes(path.c_str());
    EXPECT_EQ(FixBackslashes(bytes, 0x5C), bytes);
    // The yen sign of the Japanese code page: each backslash becomes U+00A5.
    std::string fixed = FixBackslashes(bytes, 0x00A5);
    uint16_t units[32] = {};
    uint32_t n = DecodeCompressedUnicode(fixed.c_str(), units, 32);
    ASSERT_EQ(n, 13u);
    EXPECT_EQ(units[2], 0x00A5);
    EXPECT_EQ(units[6], 0x00A5);
    EXPECT_EQ(units[0], 'C');
    EXPECT_EQ(FixBackslashes("", 0x00A5), "");
    EXPECT_EQ(LocalBackslashUnit(), 0x5C); // Windows-1252 here
}

} // namespace
} // namespace pm::exec::test
