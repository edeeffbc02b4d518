// kavipcctl: arguments, exit codes, plain and JSON output.
#include <gtest/gtest.h>

#include "outside/kavipc32/ctl_command.h"

using namespace kavipc;

namespace {
CtlOps Ops(bool exists, int quit_answer, std::string* asked = nullptr) {
    CtlOps ops;
    ops.exists = [=](const std::string& n) {
        if (asked) *asked = n;
        return exists;
    };
    ops.request_quit = [=](const std::string& n) {
        if (asked) *asked = n;
        return quit_answer;
    };
    return ops;
}
} // namespace

TEST(CtlCommandTest, ParsesVerbsAndOptions) {
    CtlArgs a = ParseCtlArgs({"quit", "ProcMgr"});
    EXPECT_EQ(a.verb, CtlArgs::Verb::kQuit);
    EXPECT_EQ(a.node, "ProcMgr");
    EXPECT_FALSE(a.json);
    a = ParseCtlArgs({"--json", "exists", "X"});
    EXPECT_EQ(a.verb, CtlArgs::Verb::kExists);
    EXPECT_TRUE(a.json);
    a = ParseCtlArgs({"exists", "X", "--json"});
    EXPECT_TRUE(a.json);
    EXPECT_EQ(ParseCtlArgs({"quit", "--help"}).verb, CtlArgs::Verb::kHelp);
    CtlOutcome help = RunCtl(ParseCtlArgs({"--help"}), Ops(false, 1));
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out, CtlUsage());
}

TEST(CtlCommandTest, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"quit"},
        {"quit", "a", "b"},
        {"stop", "a"},
        {"--verbose", "quit", "a"},
        {"exists", "a\\b"},
        {"exists", std::string(300, 'n')},
    };
    for (const auto& args : bad) {
        CtlArgs a = ParseCtlArgs(args);
        EXPECT_EQ(a.verb, CtlArgs::Verb::kNone);
        EXPECT_FALSE(a.error.empty());
        CtlOutcome o = RunCtl(a, Ops(true, 0));
        EXPECT_EQ(o.exit_code, kCtlUsage);
        EXPECT_NE(o.err.find("usage:"), std::string::npos);
    }
    CtlOutcome j = RunCtl(ParseCtlArgs({"--json", "fr\"ob", "x"}), Ops(true, 0));
    EXPECT_EQ(j.exit_code, kCtlUsage);
    EXPECT_EQ(j.out, "{\"error\":\"unknown command: fr\\\"ob\"}\n"); // escaped as JSON
}

TEST(CtlCommandTest, ExitCodesAndOutput) {
    struct Case {
        std::vector<std::string> args;
        bool exists;
        int quit;
        int code;
        std::string out;
    } cases[] = {
        {{"exists", "ProcMgr"}, true, 0, 0, "ProcMgr: registered\n"},
        {{"exists", "ProcMgr"}, false, 0, 3, "ProcMgr: not registered\n"},
        {{"--json", "exists", "P"}, true, 0, 0, "{\"node\":\"P\",\"exists\":true}\n"},
        {{"--json", "exists", "P"}, false, 0, 3, "{\"node\":\"P\",\"exists\":false}\n"},
        {{"quit", "P"}, true, 0, 0, "P: quit requested\n"},
        {{"quit", "P"}, true, 1, 3, ""},
        {{"--json", "quit", "P"}, true, 0, 0, "{\"node\":\"P\",\"result\":\"posted\"}\n"},
        {{"--json", "quit", "P"}, true, 1, 3, "{\"node\":\"P\",\"result\":\"absent\"}\n"},
        {{"--json", "quit", "P"}, true, 2, 3, "{\"node\":\"P\",\"result\":\"refused\"}\n"},
        {{"--json", "quit", "P"}, true, 3, 3, "{\"node\":\"P\",\"result\":\"no_answer\"}\n"},
    };
    for (const auto& c : cases) {
        std::string asked;
        CtlOutcome o = RunCtl(ParseCtlArgs(c.args), Ops(c.exists, c.quit, &asked));
        EXPECT_EQ(o.exit_code, c.code);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(asked, c.args.back());
        if (c.code == 3 && c.args[0] == "quit") {
            EXPECT_NE(o.err.find("kavipcctl: P: "), std::string::npos);
        }
    }
}
