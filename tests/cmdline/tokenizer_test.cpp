// The argument tokenizer, table-driven: each text with the tokens it gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/cmdline/tokenizer.h"

namespace {

using pm::CmdToken;
using Kind = CmdToken::Kind;

CmdToken Opt(const char* name) {
    return {Kind::kOption, name, std::nullopt};
}
CmdToken Opt(const char* name, const char* value) {
    return {Kind::kOption, name, value};
}
CmdToken File(const char* name) {
    return {Kind::kResponseFile, name, std::nullopt};
}
CmdToken Arg(const char* text) {
    return {Kind::kArgument, text, std::nullopt};
}

std::string Show(const std::vector<CmdToken>& tokens) {
    std::string s;
    for (const CmdToken& t : tokens) {
        s += t.kind == Kind::kOption ? "opt[" : t.kind == Kind::kResponseFile ? "file[" : "arg[";
        s += t.text;
        if (t.value) s += "=" + *t.value;
        s += "] ";
    }
    return s;
}

struct Case {
    std::string text;
    std::vector<CmdToken> tokens;
};

TEST(TokenizerTest, Table) {
    const std::vector<Case> cases = {
        {"", {}},
        {"   \t ", {}},
        {"/INIT", {Opt("INIT")}},
        {"/N:abc", {Opt("N", "abc")}},
        {"/N:", {Opt("N", "")}},
        {"/N:a:b", {Opt("N", "a:b")}},         // split at the first ':'
        {"/S:\"a b\"", {Opt("S", "a b")}},     // quotes keep the blank, and go
        {"/S:a-b", {Opt("S", "a"), Opt("b")}}, // '-' starts the next option
        {"/S:\"a-b\"", {Opt("S", "a-b")}},     // not inside quotes
        {"/S:\"a\"\"b\"", {Opt("S", "a\"b")}}, // doubled quote inside quotes
        {"/S:\"\"", {Opt("S", "")}},           // empty quoted value
        {"/S:a\"\"b", {Opt("S", "ab")}},       // outside quotes "" is on and off
        {"/S:\"a b", {Opt("S", "a b")}},       // unclosed quote runs to the end
        {"/INIT/MANAGER", {Opt("INIT"), Opt("MANAGER")}},
        {"/INIT -manager", {Opt("INIT"), Opt("manager")}}, // the name's case kept
        {"//", {Opt(""), Opt("")}},
        {"/", {Opt("")}},
        {"@resp.txt", {File("resp.txt")}},
        {"@C:/dir-x/r.rsp", {File("C:/dir-x/r.rsp")}}, // '/' and '-' end options only
        {"@\"my file\"", {File("my file")}},
        {"@", {File("")}},
        {"plain", {Arg("plain")}},
        {"a/b-c", {Arg("a/b-c")}},
        {"\"two words\" x", {Arg("two words"), Arg("x")}},
        {"x\"y z\"w", {Arg("xy zw")}},
        {"  /N:IPX:ABCDEFGHI:JK  arg @f ", {Opt("N", "IPX:ABCDEFGHI:JK"), Arg("arg"), File("f")}},
        {"/L:x\t/R:y\r\n/UID:z", {Opt("L", "x"), Opt("R", "y"), Opt("UID", "z")}},
        {std::string("/INIT\0/MANAGER", 14), {Opt("INIT")}}, // the text ends at a zero byte
        {"a@b", {Arg("a@b")}},
        {"/@x", {Opt("@x")}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Show(pm::TokenizeCommandText(c.text)), Show(c.tokens)) << "text: " << c.text;
    }
}

TEST(TokenizerTest, ProgramNameEndsAtTheFirstBlank) {
    EXPECT_EQ(pm::ArgumentsAfterProgramName("quorlent.exe /INIT"), "/INIT");
    EXPECT_EQ(pm::ArgumentsAfterProgramName("quorlent.exe"), std::nullopt);
    EXPECT_EQ(pm::ArgumentsAfterProgramName("quorlent.exe "), "");
    EXPECT_EQ(pm::ArgumentsAfterProgramName("quorlent.exe  /a"), " /a");
    // Quotes do not protect the program name.
    EXPECT_EQ(pm::ArgumentsAfterProgramName("\"C:\\Program Files\\q.exe\" /N:1"),
              "Files\\q.exe\" /N:1");
    EXPECT_EQ(pm::ArgumentsAfterProgramName(""), std::nullopt);
}

TEST(TokenizerTest, ResponseFileTextTurnsTabsAndLineEndsIntoBlanks) {
    EXPECT_EQ(pm::ResponseFileText("/INIT\r\n/MANAGER\n\t@x"), "/INIT  /MANAGER  @x");
    EXPECT_EQ(pm::ResponseFileText(""), "");
    EXPECT_EQ(pm::ResponseFileText("a\vb"), "a\vb");
}

} // namespace
