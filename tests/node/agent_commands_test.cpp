// pmconsole config, kill, signal and svc: what they send and how they read the answer.
#include <gtest/gtest.h>

#include "outside/pmconsole/agent_commands.h"
#include "tests/node/fake_console_io.h"

namespace pm::console {
namespace {

using OneReplyIo = test::FakeIo;

Reply Answer(uint32_t status, std::vector<std::string> items = {}) {
    Reply r;
    r.outcome = Reply::Outcome::kReply;
    r.status = status;
    r.items = std::move(items);
    return r;
}

std::string U32(uint32_t v) {
    return U32Bytes(v);
}

TEST(AgentCommands, WhatEachCommandSends) {
    struct Case {
        std::vector<std::string> args;
        uint32_t code;
        std::vector<std::string> params;
    };
    const Case cases[] = {
        {{"kill", "1234"}, 0x73124534, {U32(1), U32(5), U32(1234)}},
        {{"signal", "2", "pause", "ab"}, 0x73124534, {U32(2), U32(6), std::string("AB\0", 3)}},
        {{"signal", "3", "9", "ab"}, 0x73124534, {U32(3), U32(9), std::string("AB\0", 3)}},
        {{"signal", "1", "5", "77"}, 0x73124534, {U32(1), U32(5), U32(77)}},
        {{"svc", "start", "ab"}, 0x73124545, {U32(0x100), std::string("AB\0", 3), U32(1)}},
        {{"svc", "continue", "ab"}, 0x73124545, {U32(0x100), std::string("AB\0", 3), U32(4)}},
        {{"config"}, 0x73124532, {}},
    };
    for (const auto& c : cases) {
        OneReplyIo io;
        io.answer = Answer(0);
        RunConsole(c.args, io);
        ASSERT_EQ(io.sent.size(), 1u) << c.args[0];
        EXPECT_EQ(io.sent[0].code, c.code) << c.args[0];
        EXPECT_EQ(io.sent[0].params, c.params) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(io.sent[0].to, "ProcMgr");
    }
}

TEST(AgentCommands, OutcomesSetTheExitCode) {
    struct Case {
        std::vector<std::string> args;
        Reply answer;
        int code;
        const char* shown;
    };
    Reply absent;
    absent.outcome = Reply::Outcome::kAbsentNode;
    const Case cases[] = {
        {{"kill", "5"}, Answer(0), 0, "status 0x00000000: done\n"},
        {{"kill", "5"},
         Answer(0xDA000005),
         1,
         "status 0xDA000005: the process is not in the agent's list or cannot be opened, or the "
         "service status cannot be read\n"},
        {{"signal", "2", "stop", "x"},
         Answer(0xDA000006),
         1,
         "status 0xDA000006: no such tab: the agent runs in Windows 95 mode\n"},
        {{"svc", "pause", "x"},
         Answer(5, {U32(1062)}),
         1,
         "status 0x00000005: the service's state does not allow this, or it does not accept it "
         "(system error 1062)\n"},
        {{"svc", "stop", "x", "--json"},
         Answer(2, {U32(1060)}),
         1,
         "{\"status\": 2, \"meaning\": \"the service cannot be opened\", \"system_error\": "
         "1060}\n"},
        {{"kill", "5"}, absent, 3, ""},
        {{"kill"}, Answer(0), 2, ""},
        {{"kill", "x"}, Answer(0), 2, ""},
        {{"signal", "2", "explode", "x"}, Answer(0), 2, ""},
        {{"svc", "restart", "x"}, Answer(0), 2, ""},
        {{"svc", "start"}, Answer(0), 2, ""},
        {{"config", "extra"}, Answer(0), 2, ""},
        {{"config"}, Answer(1), 1, ""},
        {{"config"}, Answer(0, {"short"}), 3, ""},
    };
    for (const auto& c : cases) {
        OneReplyIo io;
        io.answer = c.answer;
        EXPECT_EQ(RunConsole(c.args, io), c.code) << c.args[0] << " " << c.args.back();
        EXPECT_EQ(io.out, c.shown) << c.args[0] << " " << c.args.back();
    }
}

} // namespace
} // namespace pm::console
