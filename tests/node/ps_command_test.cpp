// `pmconsole ps` over scripted replies built by the agent's own table code.
#include <gtest/gtest.h>

#include "outside/pmconsole/ps_command.h"
#include "procman/w32/table/change_tracker.h"
#include "shared/base/endian.h"
#include "tests/console_model/agent_tables.h"
#include "tests/node/fake_console_io.h"

namespace pm::console {
namespace {

using test::FakeIo;
using test::Snapshot;
using test::Utf8;

// A console io as `ps` sees it: the agent's texts decoded, Get Configuration answered apart.
FakeIo PsIo(const Reply& config = Reply{}) {
    FakeIo io;
    io.config = config;
    io.decoder = &Utf8;
    return io;
}

// The agent's reply to a console at `since`; texts stay raw (the io decodes them).
Reply AgentReply(const table::ChangeTracker& agent, uint32_t since) {
    Reply r;
    r.outcome = Reply::Outcome::kReply;
    r.items = test::Updates<std::string>(agent, since);
    return r;
}

uint32_t SinceOf(const Request& r) {
    return le::Load32(r.params.at(0).data());
}

TEST(PsCommand, JsonListsTheDecodedTables) {
    table::ChangeTracker agent;
    agent.Renew(Snapshot(false, {{4, "System"}, {8, "a\"b"}}, {{"Spooler", 4}}));
    FakeIo io = PsIo();
    io.replies.push_back(AgentReply(agent, 0));
    EXPECT_EQ(RunConsole({"ps", "--json"}, io), kExitReply) << io.err;
    EXPECT_EQ(io.out,
              "{\"clock\": 1, \"processes\": [{\"pid\": 4, \"name\": \"System\", \"user\": "
              "\"SYSTEM\", \"threads\": 3, \"priority\": 4, \"memory\": 16384}, {\"pid\": 8, "
              "\"name\": \"a\\\"b\", \"user\": \"SYSTEM\", \"threads\": 3, \"priority\": 4, "
              "\"memory\": 32768}], \"services\": [{\"name\": \"Spooler\", \"state\": 4, "
              "\"state_name\": \"Running\"}], \"drivers\": []}\n");
    ASSERT_EQ(io.sent.size(), 1u);
    EXPECT_EQ(io.sent[0].code, 0x73124533u);
    EXPECT_EQ(SinceOf(io.sent[0]), 0u);
}

Reply ConfigReply(bool win95 = false) {
    Reply r;
    r.outcome = Reply::Outcome::kReply;
    r.items = test::Configuration<std::string>(win95);
    return r;
}

TEST(PsCommand, WatchSendsItsClockAndAppliesEachUpdate) {
    table::ChangeTracker agent;
    agent.Renew(Snapshot(false, {{4, "System"}, {8, "old.exe"}}));
    FakeIo io = PsIo(ConfigReply());
    io.replies.push_back(AgentReply(agent, 0));
    agent.Renew(Snapshot(false, {{4, "System"}, {12, "new.exe"}}));
    io.replies.push_back(AgentReply(agent, 1));
    EXPECT_EQ(RunConsole({"ps", "--watch", "--count", "2", "--interval", "5"}, io), kExitReply)
        << io.err;
    ASSERT_EQ(io.sent.size(), 2u);
    EXPECT_EQ(SinceOf(io.sent[1]), 1u); // the clock of the first reply
    EXPECT_EQ(io.waits, (std::vector<unsigned>{5000}));
    // The last screen shows the new process and not the ended one.
    std::string last = io.out.substr(io.out.rfind("\x1b[H\x1b[2J"));
    EXPECT_NE(last.find("new.exe"), std::string::npos);
    EXPECT_EQ(last.find("old.exe"), std::string::npos);
    EXPECT_NE(last.find("4 Normal"), std::string::npos);
    EXPECT_NE(last.find("2 changes in the last update"), std::string::npos);
}

// The mode comes from the configuration: an empty process table is explained in NT mode only;
// `config` names the mode and the setting as far as this machine can read it.
TEST(PsCommand, NtModeExplainsAnEmptyProcessTableAndConfigNamesTheSetting) {
    for (bool win95 : {false, true}) {
        table::ChangeTracker agent;
        agent.Renew(Snapshot(false, {}, {{"Spooler", 4}}));
        FakeIo io = PsIo(ConfigReply(win95));
        io.replies.push_back(AgentReply(agent, 0));
        EXPECT_EQ(RunConsole({"ps"}, io), kExitReply) << io.err;
        EXPECT_EQ(io.out.find("(none: in NT mode") != std::string::npos, !win95) << io.out;
    }
    const struct {
        bool win95;
        PlatformSettingView setting;
        const char* shows;
    } cases[] = {
        {false, {true, true, "nt"}, "\"mode\": \"nt\", \"platform_setting\": \"nt\", \"tabs\""},
        {true, {true, false, ""}, "\"mode\": \"95\", \"platform_setting\": null, \"tabs\""},
        {true, {}, "\"mode\": \"95\", \"tabs\""},
    };
    for (const auto& c : cases) {
        FakeIo io = PsIo(ConfigReply(c.win95));
        io.platform = c.setting;
        EXPECT_EQ(RunConsole({"config", "--json"}, io), kExitReply) << io.err;
        EXPECT_NE(io.out.find(c.shows), std::string::npos) << io.out;
    }
}

TEST(PsCommand, FailuresAndUsage) {
    struct Case {
        std::vector<std::string> args;
        Reply reply;
        int code;
    };
    Reply malformed;
    malformed.outcome = Reply::Outcome::kReply;
    malformed.items = {"\x01\x00\x00\x00", "\x09"};
    Reply refused;
    refused.outcome = Reply::Outcome::kNotSent;
    const Case cases[] = {
        {{"ps"}, refused, kExitNoReply},
        {{"ps"}, malformed, kExitNoReply},
        {{"ps", "--count", "0"}, refused, kExitUsage},
        {{"ps", "--interval"}, refused, kExitUsage},
    }; // --help and unknown options: for every command in pmconsole_test and console_safety_test
    for (const auto& c : cases) {
        FakeIo io = PsIo();
        io.replies.push_back(c.reply);
        EXPECT_EQ(RunConsole(c.args, io), c.code) << c.args.back();
    }
}

} // namespace
} // namespace pm::console
