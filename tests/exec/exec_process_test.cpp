// The flow of one execution through a scripted platform: every status, exactly one reply on
// every path, the reply items byte for byte, and every handle released.
#include <gtest/gtest.h>

#include "procman/w32/exec/ace_grants.h"
#include "procman/w32/exec/exec_process.h"
#include "shared/crypto/password_cipher.h"
#include "tests/exec/fake_exec_platform.h"
#include "tests/node/process_trace_capture.h"

namespace pm::exec::test {
namespace {

using Script = void (*)(FakeExecPlatform&, Request&);

struct Outcome {
    uint32_t started = 0;
    Reply reply;
};

// Runs the request: whatever the path, one reply and nothing left held.
Outcome Exec(const Request& q, FakeExecPlatform& p, bool refuse_first_reply = false) {
    Replies r;
    r.refuse_first = refuse_first_reply;
    Outcome o;
    o.started = ExecProcess(q.Build(), p, [&](Command* c) { return r.Send(c); });
    EXPECT_EQ(r.sent.size(), 1u);
    EXPECT_EQ(p.held.Total(), 0);
    if (!r.sent.empty()) o.reply = r.sent[0];
    return o;
}

std::string Cipher(const std::string& password) {
    std::vector<uint8_t> cipher;
    EXPECT_TRUE(EncryptPassword(Cu(password).c_str(), &cipher));
    return std::string(cipher.begin(), cipher.end());
}

TEST(ExecFlow, RepliesOfAStartedProcess) {
    const std::string big(5000, 'x'), zero("a\0b", 3);
    struct Case {
        const char* what;
        uint32_t flags, timeout_s;
        std::deque<std::string> output;
        WaitOutcome wait;
        uint32_t exit_code, status;
        std::vector<std::string> items;
        uint32_t waited_ms;
    } cases[] = {
        // clang-format off
        {"captured: every byte", EXEC_CAPTURE_OUTPUT, 0, {"hi\r\n", big, zero}, WaitOutcome::kEnded,
         3, kExecOk, {Le32(3), "hi\r\n" + big + zero, Le32(1)}, 0xFFFFFFFF},
        {"unicode: converted, one zero", EXEC_CAPTURE_OUTPUT | EXEC_UNICODE_OUTPUT, 0, {"ok\x81"},
         WaitOutcome::kEnded, 0, kExecOk, {Le32(0), Cu("ok\xFC"), Le32(2)}, 0xFFFFFFFF},
        {"nothing captured", EXEC_CAPTURE_OUTPUT | EXEC_UNICODE_OUTPUT, 0, {}, WaitOutcome::kEnded,
         0, kExecOk, {Le32(0), "", Le32(1)}, 0xFFFFFFFF},
        {"neither wait nor capture: at once", 0, 0, {"x"}, WaitOutcome::kFailed, 7, kExecOk,
         {Le32(0), "", Le32(1)}, 0},
        {"timed out: still active", EXEC_WAIT, 5, {}, WaitOutcome::kTimedOut, 0, 0xFFFF0002,
         {Le32(259), "", Le32(1)}, 5000},
        {"the longest wait short of infinite", EXEC_WAIT, 4294967, {}, WaitOutcome::kEnded, 0,
         kExecOk, {Le32(0), "", Le32(1)}, 0xFFFFFFFE},
        {"seconds beyond the milliseconds", EXEC_WAIT, 0xFFFFFFFF, {}, WaitOutcome::kEnded, 0,
         kExecOk, {Le32(0), "", Le32(1)}, 0xFFFFFFFE},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeExecPlatform p;
        p.output = c.output;
        p.wait = c.wait;
        p.exit_code = c.exit_code;
        Request q;
        q.flags = c.flags;
        q.timeout_s = c.timeout_s;
        Outcome o = Exec(q, p);
        EXPECT_EQ(o.started, 1u);
        EXPECT_EQ(uint32_t(o.reply.status), c.status);
        EXPECT_EQ(o.reply.items, c.items);
        EXPECT_EQ(p.waited_for_process, c.waited_ms);
    }
}

TEST(ExecFlow, TheProcessIsCreatedUnderTheExecutionMutexOrWithoutItWhenItIsNotObtained) {
    for (bool mutex_free : {true, false}) {
        FakeExecPlatform p;
        p.mutex_free = mutex_free;
        Request q;
        q.flags = EXEC_CAPTURE_OUTPUT;
        EXPECT_EQ(Exec(q, p).reply.status, kExecOk);
        EXPECT_EQ(p.waited_for_mutex, 30000u);
        EXPECT_EQ(p.mutex_at_start, mutex_free ? 1 : 0);
        ASSERT_EQ(p.starts.size(), 1u);
        EXPECT_TRUE(p.starts[0].capture);
        EXPECT_EQ(p.starts[0].command_line, "cmd /c echo hi");
    }
}

TEST(ExecFlow, WhatIsStarted) {
    constexpr uint32_t kUser = EXEC_AS_USER, kEnv = EXEC_ENVIRONMENT;
    struct Case {
        const char* what;
        uint32_t flags;
        Script script;
        int variant;
        const char* line;
    } cases[] = {
        {"expanded, // a backslash", 0,
         [](FakeExecPlatform&, Request& q) { q.line = "$(A)x$(BB) //"; }, 1, "alphaxb \\"},
        {"unclosed: as it stands, no // replacement either", 0,
         [](FakeExecPlatform&, Request& q) { q.line = "echo $(A //"; }, 1, "echo $(A //"},
        {"environment block", kEnv, nullptr, 2, "cmd /c echo hi"},
        {"as a user", kUser, nullptr, 3, nullptr},
        {"as a user with an environment", kUser | kEnv, nullptr, 4, nullptr},
        {"Windows 95 mode runs as the agent, ciphertext not even looked at",
         kUser | EXEC_ENCRYPTED_PASSWORD,
         [](FakeExecPlatform& p, Request& q) { p.win95 = true, q.password = "1234567"; }, 1,
         nullptr},
        {"anonymous, restriction 0", 0,
         [](FakeExecPlatform& p, Request&) { p.anonymous = 1, p.restrict_readable = true; }, 1,
         nullptr},
        {"anonymous, restriction unreadable", 0,
         [](FakeExecPlatform& p, Request&) { p.anonymous = 1, p.restrict_value = 1; }, 1, nullptr},
        {"not anonymous", 0,
         [](FakeExecPlatform& p, Request&) { p.restrict_readable = true, p.restrict_value = 1; }, 1,
         nullptr},
        {"anonymous as a user: restriction not consulted", kUser,
         [](FakeExecPlatform& p, Request&) {
             p.anonymous = 1, p.restrict_readable = true, p.restrict_value = 1;
         },
         3, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeExecPlatform p;
        p.variables.environment = {{"A", "alpha"}, {"BB", "b"}};
        Request q;
        q.flags = c.flags;
        q.params = 7;
        q.env = std::string("A=1\0\0", 5);
        q.cwd = "C:\\work";
        q.user = "bob";
        q.password = Cu("pw");
        if (c.script) c.script(p, q);
        EXPECT_EQ(Exec(q, p).reply.status, kExecOk);
        ASSERT_EQ(p.starts.size(), 1u);
        const StartSpec& s = p.starts[0];
        EXPECT_EQ(s.variant, c.variant);
        EXPECT_EQ(s.command_line, c.line ? c.line : "cmd /c echo hi");
        EXPECT_EQ(s.working_directory, "C:\\work");
        EXPECT_EQ(s.environment != nullptr, c.variant % 2 == 0);
        EXPECT_EQ(s.environment_size, s.environment ? 5u : 0u);
        EXPECT_EQ(s.token != nullptr, c.variant >= 3);
        EXPECT_EQ(p.tokens_at_start, c.variant >= 3 ? 1 : 0);
        EXPECT_EQ(p.logons.size(), c.variant >= 3 ? 1u : 0u);
    }
}

TEST(ExecFlow, FailureReplies) {
    constexpr uint32_t kUser = EXEC_AS_USER | EXEC_WAIT, kEnv = EXEC_ENVIRONMENT;
    struct Case {
        const char* what;
        uint32_t flags;
        Script script;
        uint32_t status, error, started;
        size_t starts;
    } cases[] = {
        {"too few parameters", 0, [](FakeExecPlatform&, Request& q) { q.params = 5; }, 0xFFFFFFFF,
         0, 0, 0},
        {"expanded line beyond its room", 0,
         [](FakeExecPlatform& p, Request& q) {
             p.variables.environment = {{"BIG", std::string(2000, 'x')}};
             q.line = "$(BIG)$(BIG)$(BIG)";
         },
         0xFFFFFFFF, kErrorBufferOverflow, 0, 0},
        {"environment block without its end", kEnv,
         [](FakeExecPlatform&, Request& q) { q.env = "A=1"; }, 0xFFFFFFFF, kErrorInvalidParameter,
         0, 0},
        {"environment block of one zero", kEnv,
         [](FakeExecPlatform&, Request& q) { q.env = std::string("A=1\0", 4); }, 0xFFFFFFFF,
         kErrorInvalidParameter, 0, 0},
        {"empty environment block", kEnv, nullptr, 0xFFFFFFFF, kErrorInvalidParameter, 0, 0},
        {"ciphertext not in whole blocks, before any logon", kUser | EXEC_ENCRYPTED_PASSWORD,
         [](FakeExecPlatform&, Request& q) { q.password = "1234567"; }, 0xFFFFFFFF,
         kErrorInvalidParameter, 0, 0},
        {"anonymous execution restricted", 0,
         [](FakeExecPlatform& p, Request&) {
             p.anonymous = 1, p.restrict_readable = true, p.restrict_value = 1;
         },
         0xDA000F09, 0, 0, 0},
        {"pipe not created", EXEC_CAPTURE_OUTPUT,
         [](FakeExecPlatform& p, Request&) {
             p.start_failure = StartResult::Failure::kPipe, p.start_error = 1450;
         },
         0xFFFFFFFF, 1450, 0, 1},
        {"the wait fails", EXEC_NO_WINDOW | EXEC_WAIT,
         [](FakeExecPlatform& p, Request&) { p.wait = WaitOutcome::kFailed; }, 0xFFFFFFFF, 6, 1, 1},
        {"malformed DACL", kUser,
         [](FakeExecPlatform& p, Request&) { p.station.dacl = {2, 0, 8, 0, 3, 0, 0, 0}; },
         0xFFFFFFFF, 1336, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeExecPlatform p;
        Request q;
        q.flags = c.flags;
        q.params = 7;
        q.user = "dave";
        q.password = Cu("pw");
        if (c.script) c.script(p, q);
        Outcome o = Exec(q, p);
        EXPECT_EQ(o.started, c.started);
        EXPECT_EQ(uint32_t(o.reply.status), c.status);
        EXPECT_EQ(o.reply.items, (std::vector<std::string>{Le32(c.error), ""}));
        EXPECT_EQ(p.starts.size(), c.starts);
        EXPECT_TRUE(p.logons.empty() || c.error != kErrorInvalidParameter);
    }
}

TEST(ExecFlow, EveryUserStepFailureHasItsReplyAndStartsNothing) {
    const std::pair<const char*, uint32_t> steps[] = {
        {"logon", 1326},       {"station", 5},       {"desktop", 2},       {"sid", 6},
        {"station read", 122}, {"station write", 5}, {"desktop read", 87}, {"desktop write", 1307}};
    for (const auto& [step, error] : steps) {
        SCOPED_TRACE(step);
        FakeExecPlatform p;
        p.fail[step] = error;
        Request q;
        q.flags = EXEC_AS_USER | EXEC_WAIT;
        q.user = "dave";
        q.password = Cu("pw");
        Outcome o = Exec(q, p);
        EXPECT_EQ(o.started, 0u);
        EXPECT_EQ(uint32_t(o.reply.status), 0xFFFFFFFFu);
        EXPECT_EQ(o.reply.items, (std::vector<std::string>{Le32(error), ""}));
        EXPECT_TRUE(p.starts.empty());
    }
}

// Creation failures by system error, each with its status.
TEST(ExecFlow, CreationFailuresByError) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {2, 0xDA000F01},  {4, 0xDA000F04},  {5, 0xDA000F02},  {8, 0xDA000F03},
        {14, 0xDA000F03}, {11, 0xDA000F05}, {32, 0xDA000F06}, {1234, 0xDA000F08}};
    for (const auto& [error, status] : cases) {
        SCOPED_TRACE(error);
        FakeExecPlatform p;
        p.start_failure = StartResult::Failure::kCreate;
        p.start_error = error;
        Outcome o = Exec(Request{}, p);
        EXPECT_EQ(o.started, 0u);
        EXPECT_EQ(uint32_t(o.reply.status), status);
        EXPECT_EQ(o.reply.items, (std::vector<std::string>{Le32(error), ""}));
    }
}

TEST(ExecFlow, AReplyTooLargeToPackBecomesTheFailureReply) {
    FakeExecPlatform p;
    p.output = {"big"};
    Request q;
    q.flags = EXEC_CAPTURE_OUTPUT;
    Outcome o = Exec(q, p, true);
    EXPECT_EQ(o.started, 1u);
    EXPECT_EQ(uint32_t(o.reply.status), uint32_t(kExecFailed));
    EXPECT_EQ(o.reply.items, (std::vector<std::string>{Le32(kErrorNotEnoughMemory), ""}));
}

TEST(ExecFlow, AsUserTheDecryptedPasswordLogsOnAndNeverReachesTheTrace) {
    FakeExecPlatform p;
    Request q;
    q.flags = EXEC_AS_USER | EXEC_ENCRYPTED_PASSWORD | EXEC_WAIT;
    q.user = "alice";
    q.password = Cipher("Secret#42");
    ASSERT_EQ(q.password.size(), 16u);
    pm::test::ProcessTraceCapture trace;
    EXPECT_EQ(Exec(q, p).reply.status, kExecOk);
    EXPECT_EQ(p.logons, std::vector<std::string>{"alice"});
    EXPECT_EQ(p.last_password, "Secret#42");
    EXPECT_EQ(p.station.writes, 1); // both objects got their ACEs, once
    EXPECT_EQ(p.desktop.writes, 1);
    EXPECT_FALSE(trace.Lines().empty());
    EXPECT_EQ(trace.Lines().find("Secret"), std::string::npos);
}

TEST(ExecFlow, AUserWhoHoldsEverythingCausesNoWrite) {
    FakeExecPlatform p;
    p.station.dacl = EmptyAcl();
    AppendAllowedAce(p.station.dacl, 0x0B, 0xF0000000, p.sid);
    AppendAllowedAce(p.station.dacl, 0x04, 0x000F037F, p.sid);
    p.desktop.dacl = EmptyAcl();
    AppendAllowedAce(p.desktop.dacl, 0, 0x000F01FF, p.sid);
    Request q;
    q.flags = EXEC_AS_USER;
    q.user = "carol";
    EXPECT_EQ(Exec(q, p).reply.status, kExecOk);
    EXPECT_EQ(p.station.writes + p.desktop.writes, 0);
}

} // namespace
} // namespace pm::exec::test
