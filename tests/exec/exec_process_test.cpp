// The flow of one execution through a scripted platform: every status, exactly one reply on
// every path, the reply items byte for byte, and every handle released.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "procman/w32/exec/exec_process.h"
#include "shared/crypto/password_cipher.h"
#include "tests/exec/fake_exec_platform.h"
#include "tests/node/process_trace_capture.h"

namespace pm::exec::test {
namespace {

// The platform and request of one run, for the tables' scripts to change.
// All parameters sent, as a user with a password, a directory and an environment block.
struct Rig {
    Rig() {
        p.variables.environment = {{"A", "alpha"}, {"BB", "b"}};
        q.params = 7, q.env = std::string("A=1\0\0", 5), q.cwd = "C:\\work";
        q.user = "bob", q.password = Cu("pw");
    }
    FakeExecPlatform p;
    Request q;
    bool refuse_first_reply = false; // as too large to pack
};
using Script = std::function<void(Rig&)>;
using Items = std::vector<std::string>;

struct Outcome {
    uint32_t started = 0;
    Reply reply;
};

// Runs the request: whatever the path, one reply and nothing left held.
Outcome Exec(const Request& q, FakeExecPlatform& p, bool refuse_first_reply = false) {
    Replies r{{}, refuse_first_reply};
    Outcome o;
    o.started = ExecProcess(q.Build(), p, [&](Command* c) { return r.Send(c); });
    EXPECT_EQ(r.sent.size(), 1u);
    EXPECT_EQ(p.held.Total(), 0);
    EXPECT_EQ(p.budget->InUse(), 0u); // the capture's budget is back, whatever the path
    EXPECT_EQ(r.password_left, 0);    // the request's copy of the password is wiped
    if (!r.sent.empty()) o.reply = r.sent[0];
    return o;
}

TEST(ExecFlow, RepliesOfAStartedProcess) {
    const std::string big(14, 'x'), zero("a\0", 2); // 20 bytes with "hi\r\n": the limit
    constexpr uint32_t kCap = EXEC_CAPTURE_OUTPUT, kInf = 0xFFFFFFFF;
    constexpr WaitOutcome kEnded = WaitOutcome::kEnded;
    struct Case {
        const char* what;
        uint32_t flags, timeout_s;
        std::deque<std::string> output;
        WaitOutcome wait;
        uint32_t exit_code, status;
        Items items;
        uint32_t waited_ms;
    } cases[] = {
        // clang-format off
        {"captured: every byte", kCap, 0, {"hi\r\n", big, zero}, kEnded, 3, kExecOk,
         {Le32(3), "hi\r\n" + big + zero, Le32(1)}, kInf},
        {"unicode: converted, one zero", kCap | EXEC_UNICODE_OUTPUT, 0, {"ok\x81"}, kEnded, 0,
         kExecOk, {Le32(0), Cu("ok\xFC"), Le32(2)}, kInf},
        {"nothing captured", kCap | EXEC_UNICODE_OUTPUT, 0, {}, kEnded, 0, kExecOk,
         {Le32(0), "", Le32(1)}, kInf},
        {"neither wait nor capture: at once", 0, 0, {"x"}, WaitOutcome::kFailed, 7, kExecOk,
         {Le32(0), "", Le32(1)}, 0},
        {"timed out: still active", EXEC_WAIT, 5, {}, WaitOutcome::kTimedOut, 0, 0xFFFF0002,
         {Le32(259), "", Le32(1)}, 5000},
        {"the longest wait short of infinite", EXEC_WAIT, 4294967, {}, kEnded, 0, kExecOk,
         {Le32(0), "", Le32(1)}, kInf - 1},
        {"seconds beyond the milliseconds", EXEC_WAIT, kInf, {}, kEnded, 0, kExecOk,
         {Le32(0), "", Le32(1)}, kInf - 1},
        // The limit is 20 bytes here: the output is cut there, the rest is read and dropped,
        // and a fourth item says how many bytes were kept.
        {"cut at the limit", kCap, 0, {std::string(15, 'a'), std::string(15, 'b')}, kEnded, 1,
         kExecOk, {Le32(1), std::string(15, 'a') + "bbbbb", Le32(1), Le32(20)}, kInf},
        // Converted, 12 two-byte characters would not fit: made again from 12 x 19 / 24 bytes.
        {"unicode cut to fit", kCap | EXEC_UNICODE_OUTPUT, 0, {std::string(12, '\xE9')},
         kEnded, 0, kExecOk, {Le32(0), Cu(std::string(9, '\xE9')), Le32(2), Le32(9)}, kInf},
        {"unicode that fits", kCap | EXEC_UNICODE_OUTPUT, 0, {std::string(9, '\xE9')}, kEnded,
         0, kExecOk, {Le32(0), Cu(std::string(9, '\xE9')), Le32(2)}, kInf},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r;
        auto& [p, q, refuse] = r;
        p.output = c.output, p.wait = c.wait, p.exit_code = c.exit_code;
        p.output_limit = 20;
        q.flags = c.flags, q.timeout_s = c.timeout_s;
        Outcome o = Exec(q, p);
        EXPECT_EQ(o.started, 1u);
        EXPECT_EQ(uint32_t(o.reply.status), c.status);
        EXPECT_EQ(o.reply.items, c.items);
        EXPECT_EQ(p.waited_for_process, c.waited_ms);
    }
}

// Beyond the process's budget the output is cut (the fourth item says where), plain or in
// compressed unicode; the budget is held while the process runs and comes back on every path.
TEST(ExecFlow, OutputBeyondTheBudgetIsCutAndTheBudgetComesBack) {
    const std::string kept(16384, 'a'); // the first segment: all that the budget covers
    const uint32_t cap = EXEC_CAPTURE_OUTPUT;
    const struct {
        const char* what;
        uint32_t flags;
        bool taken; // all of it held by other executions
        WaitOutcome wait;
        bool throws;
        Items items;
    } cases[] = {
        {"plain", cap, false, WaitOutcome::kEnded, false, {Le32(0), kept, Le32(1), Le32(16384)}},
        {"compressed unicode",
         cap | EXEC_UNICODE_OUTPUT,
         false,
         WaitOutcome::kEnded,
         false,
         {Le32(0), Cu(kept), Le32(2), Le32(16384)}},
        {"the budget taken already",
         cap,
         true,
         WaitOutcome::kEnded,
         false,
         {Le32(0), "", Le32(1), Le32(0)}},
        {"the wait failed", cap, false, WaitOutcome::kFailed, false, {Le32(6), ""}},
        {"a throw during the wait",
         cap | EXEC_UNICODE_OUTPUT,
         false,
         WaitOutcome::kEnded,
         true,
         {Le32(8), ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r;
        r.p.budget = std::make_unique<CaptureBudget>(2 * kept.size() + 2);
        r.p.output = {std::string(20000, 'a')};
        r.p.wait = c.wait, r.p.throw_at_wait = c.throws;
        size_t held_while_waiting = 0;
        r.p.on_wait = [&] { held_while_waiting = r.p.budget->InUse(); };
        r.q.flags = c.flags;
        Outcome o;
        if (c.taken) {
            BudgetShare others(r.p.budget.get());
            ASSERT_TRUE(others.Grow(r.p.budget->Total()));
            Replies replies;
            ExecProcess(r.q.Build(), r.p, [&](Command* cmd) { return replies.Send(cmd); });
            ASSERT_EQ(replies.sent.size(), 1u);
            o.reply = replies.sent[0];
            EXPECT_EQ(r.p.budget->InUse(), r.p.budget->Total()); // the others', no more
        } else {
            o = Exec(r.q, r.p);
            if (!c.throws) {
                EXPECT_EQ(held_while_waiting, r.p.budget->Total());
            }
        }
        EXPECT_EQ(o.reply.items, c.items);
    }
}

// What is started: variant, line, directory, environment, token, and the execution mutex held
// around the creation (or not, when it is not obtained).
TEST(ExecFlow, WhatIsStarted) {
    constexpr uint32_t kUser = EXEC_AS_USER, kEnv = EXEC_ENVIRONMENT;
    struct Case {
        const char* what;
        uint32_t flags;
        Script script;
        int variant;
        const char* line;
    } cases[] = {
        // clang-format off
        {"expanded, // a backslash", 0, [](Rig& r) { r.q.line = "$(A)x$(BB) //"; }, 1,
         "alphaxb \\"},
        {"unclosed: as it stands, no // replacement either", 0,
         [](Rig& r) { r.q.line = "echo $(A //"; }, 1, "echo $(A //"},
        {"environment block", kEnv, nullptr, 2, nullptr},
        {"as a user", kUser, nullptr, 3, nullptr},
        {"as a user with an environment", kUser | kEnv, nullptr, 4, nullptr},
        {"Windows 95 mode runs as the agent, ciphertext not even looked at",
         kUser | EXEC_ENCRYPTED_PASSWORD,
         [](Rig& r) { r.p.win95 = true, r.q.password = "1234567"; }, 1, nullptr},
        {"anonymous, restriction 0", 0,
         [](Rig& r) { r.p.anonymous = 1, r.p.restrict_readable = true; }, 1, nullptr},
        {"anonymous, restriction unreadable", 0,
         [](Rig& r) { r.p.anonymous = 1, r.p.restrict_value = 1; }, 1, nullptr},
        {"not anonymous", 0, [](Rig& r) { r.p.restrict_readable = true, r.p.restrict_value = 1; },
         1, nullptr},
        {"anonymous as a user: restriction not consulted", kUser,
         [](Rig& r) { r.p.anonymous = 1, r.p.restrict_readable = true, r.p.restrict_value = 1; },
         3, nullptr},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r;
        auto& [p, q, refuse] = r;
        q.flags = c.flags;
        if (c.script) c.script(r);
        EXPECT_EQ(Exec(q, p).reply.status, kExecOk);
        ASSERT_EQ(p.starts.size(), 1u);
        const StartSpec& s = p.starts[0];
        EXPECT_EQ(s.variant, c.variant);
        EXPECT_EQ(s.command_line, c.line ? c.line : "cmd /c echo hi");
        EXPECT_EQ(s.working_directory, "C:\\work");
        EXPECT_EQ(s.capture, (c.flags & EXEC_CAPTURE_OUTPUT) != 0);
        EXPECT_EQ(s.environment != nullptr, c.variant % 2 == 0);
        EXPECT_EQ(s.environment_size, s.environment ? 5u : 0u);
        EXPECT_EQ(s.token != nullptr, c.variant >= 3);
        EXPECT_EQ(p.tokens_at_start, c.variant >= 3 ? 1 : 0);
        EXPECT_EQ(p.logons.size(), c.variant >= 3 ? 1u : 0u);
        EXPECT_EQ(p.waited_for_mutex, 30000u);
        EXPECT_EQ(p.mutex_at_start, 1);
    }
}

// Every failure: its status, the error as the first item, and what was started.
TEST(ExecFlow, FailureReplies) {
    constexpr uint32_t kUser = EXEC_AS_USER | EXEC_WAIT, kEnv = EXEC_ENVIRONMENT;
    constexpr uint32_t kFailed = 0xFFFFFFFF, kInvalid = kErrorInvalidParameter;
    struct Case {
        const char* what;
        uint32_t flags;
        Script script;
        uint32_t status, error, started;
        size_t starts;
    };
    std::vector<Case> cases = {
        // clang-format off
        {"too few parameters", 0, [](Rig& r) { r.q.params = 5; }, kFailed, 0, 0, 0},
        {"expanded line beyond its room", 0, [](Rig& r) {
             r.p.variables.environment = {{"BIG", std::string(2000, 'x')}};
             r.q.line = "$(BIG)$(BIG)$(BIG)";
         }, kFailed, kErrorBufferOverflow, 0, 0},
        {"environment block without its end", kEnv, [](Rig& r) { r.q.env = "A=1"; }, kFailed,
         kInvalid, 0, 0},
        {"environment block of one zero", kEnv, [](Rig& r) { r.q.env = std::string("A=1\0", 4); },
         kFailed, kInvalid, 0, 0},
        {"empty environment block", kEnv, [](Rig& r) { r.q.env.clear(); }, kFailed, kInvalid, 0, 0},
        {"ciphertext not in whole blocks, before any logon", kUser | EXEC_ENCRYPTED_PASSWORD,
         [](Rig& r) { r.q.password = "1234567"; }, kFailed, kInvalid, 0, 0},
        {"anonymous execution restricted", 0,
         [](Rig& r) { r.p.anonymous = 1, r.p.restrict_readable = true, r.p.restrict_value = 1; },
         0xDA000F09, 0, 0, 0},
        {"anonymous, as a user in Windows 95 mode: judged as run by the agent", kUser,
         [](Rig& r) {
             r.p.win95 = true, r.p.anonymous = 1, r.p.restrict_readable = true;
             r.p.restrict_value = 1;
         }, 0xDA000F09, 0, 0, 0},
        {"the execution mutex not obtained: busy", EXEC_CAPTURE_OUTPUT,
         [](Rig& r) { r.p.mutex_free = false; }, kFailed, kErrorBusy, 0, 0},
        {"impersonation refused: nothing started", kUser,
         [](Rig& r) {
             r.p.start_failure = StartResult::Failure::kImpersonate, r.p.start_error = 1346;
         }, kFailed, 1346, 0, 1},
        {"a throw on the way: out of memory", EXEC_CAPTURE_OUTPUT,
         [](Rig& r) { r.p.throw_at_start = true; }, kFailed, kErrorNotEnoughMemory, 0, 0},
        {"a throw in the wait", EXEC_WAIT, [](Rig& r) { r.p.throw_at_wait = true; }, kFailed,
         kErrorNotEnoughMemory, 0, 1},
        {"environment block whose last byte is not its end", kEnv,
         [](Rig& r) { r.q.env = std::string("A=1\0\0X", 6); }, kFailed, kInvalid, 0, 0},
        {"pipe not created", EXEC_CAPTURE_OUTPUT,
         [](Rig& r) { r.p.start_failure = StartResult::Failure::kPipe, r.p.start_error = 1450; },
         kFailed, 1450, 0, 1},
        {"a reply too large to pack", EXEC_CAPTURE_OUTPUT,
         [](Rig& r) { r.p.output = {"big"}, r.refuse_first_reply = true; }, kFailed,
         kErrorNotEnoughMemory, 1, 1},
        {"the wait fails", EXEC_NO_WINDOW | EXEC_WAIT,
         [](Rig& r) { r.p.wait = WaitOutcome::kFailed; }, kFailed, 6, 1, 1},
        {"malformed DACL", kUser, [](Rig& r) { r.p.station.dacl = {2, 0, 8, 0, 3, 0, 0, 0}; },
         kFailed, 1336, 0, 0},
        // clang-format on
    };
    // Each step of running as a user that fails: its error, nothing started.
    const std::pair<const char*, uint32_t> steps[] = {
        {"logon", 1326},       {"station", 5},
        {"desktop", 2},        {"sid", 6},
        {"station read", 122}, {"station write", 5},
        {"desktop read", 998}, {"desktop write", 1307}};
    for (const auto& [step, error] : steps)
        cases.push_back({step, kUser, [s = step, e = error](Rig& r) { r.p.fail[s] = e; }, kFailed,
                         error, 0, 0});
    // Creation failures by system error, each with its status.
    const std::pair<uint32_t, uint32_t> creation[] = {
        {2, 0xDA000F01},  {4, 0xDA000F04},  {5, 0xDA000F02},  {8, 0xDA000F03},
        {14, 0xDA000F03}, {11, 0xDA000F05}, {32, 0xDA000F06}, {1234, 0xDA000F08}};
    for (const auto& [error, status] : creation)
        cases.push_back({"creation", 0,
                         [e = error](Rig& r) {
                             r.p.start_failure = StartResult::Failure::kCreate, r.p.start_error = e;
                         },
                         status, error, 0, 1});
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.error));
        Rig r;
        auto& [p, q, refuse] = r;
        q.flags = c.flags;
        if (c.script) c.script(r);
        Outcome o = Exec(q, p, refuse);
        EXPECT_EQ(o.started, c.started);
        EXPECT_EQ(uint32_t(o.reply.status), c.status);
        EXPECT_EQ(o.reply.items, (Items{Le32(c.error), ""}));
        EXPECT_EQ(p.starts.size(), c.starts);
        EXPECT_TRUE(p.logons.empty() || c.error != kInvalid);
    }
}

TEST(ExecFlow, AsUserTheDecryptedPasswordLogsOnAndNeverReachesTheTrace) {
    FakeExecPlatform p;
    Request q;
    q.flags = EXEC_AS_USER | EXEC_ENCRYPTED_PASSWORD | EXEC_WAIT;
    q.user = "alice";
    std::vector<uint8_t> cipher;
    ASSERT_TRUE(EncryptPassword(Cu("Secret#42").c_str(), &cipher));
    q.password.assign(cipher.begin(), cipher.end());
    ASSERT_EQ(q.password.size(), 16u);
    pm::test::ProcessTraceCapture trace;
    EXPECT_EQ(Exec(q, p).reply.status, kExecOk);
    EXPECT_EQ(p.logons, std::vector<std::string>{"alice"});
    EXPECT_EQ(p.last_password, "Secret#42");
    EXPECT_FALSE(trace.Lines().empty());
    EXPECT_EQ(trace.Lines().find("Secret"), std::string::npos);
}

// Runs as the same user twice: the ACEs go in once; a null DACL (everyone) is left alone.
TEST(ExecFlow, RunsAsAUserGrantOnceAndKeepANullDacl) {
    Rig r;
    r.q.flags = EXEC_AS_USER;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(Exec(r.q, r.p).reply.status, kExecOk);
        EXPECT_EQ(r.p.station.writes, 1);
        EXPECT_EQ(r.p.desktop.writes, 1);
    }
    Rig open;
    open.q.flags = EXEC_AS_USER;
    open.p.desktop.kind = open.p.station.kind = DaclKind::kNull;
    EXPECT_EQ(Exec(open.q, open.p).reply.status, kExecOk);
    EXPECT_EQ(open.p.station.writes + open.p.desktop.writes, 0);
}

// What the trace log gets: never the output, and a command line's line breaks escaped, so
// that a request cannot write a line of its own into the log.
TEST(ExecFlow, TheTraceHoldsNoOutputAndNoForgedLine) {
    Rig r;
    r.q.flags = EXEC_CAPTURE_OUTPUT;
    r.q.line = "cmd /c echo x\r\nFORGED\x01";
    r.p.output = {"private-output-7"};
    pm::test::ProcessTraceCapture trace;
    Outcome o = Exec(r.q, r.p);
    ASSERT_EQ(o.reply.items.size(), 3u);
    EXPECT_EQ(o.reply.items[1], "private-output-7");
    EXPECT_EQ(trace.Lines().find("private-output"), std::string::npos);
    EXPECT_EQ(trace.Lines().find("\nFORGED"), std::string::npos);
    EXPECT_NE(trace.Lines().find("echo x"), std::string::npos); // traced all the same
}

// The agent stopping while an execution waits for its process: that execution ends without a
// reply, releasing what it holds; one that replies before is counted out.
TEST(ExecFlow, AnExecutionThatOutlivesShutdownEndsSilently) {
    ExecutionTracker tracker(4);
    Rig r;
    r.q.flags = EXEC_WAIT;
    r.p.on_wait = [&] { EXPECT_EQ(tracker.Close(0), 1u); }; // inside the wait: not waited for
    Replies replies;
    ASSERT_TRUE(tracker.TryStart());
    EXPECT_EQ(ExecProcess(
                  r.q.Build(), r.p, [&](Command* c) { return replies.Send(c); }, &tracker),
              0u);
    tracker.Finish();
    EXPECT_TRUE(replies.sent.empty());
    EXPECT_EQ(r.p.held.Total(), 0);
    EXPECT_EQ(tracker.Running(), 0u);
    EXPECT_FALSE(tracker.TryStart()); // closed for good
}

// Beyond the cap a request answers busy at once, handed back to the node for its reply.
TEST(ExecStart, TheCapAnswersBusyAndAThreadNotCreatedGivesItsCountBack) {
    ExecutionTracker tracker(2);
    std::vector<Command*> owned;
    auto start = [&](Command* c) { return owned.push_back(c), true; };
    Request q;
    for (int i = 0; i < 2; ++i) {
        Command* c = q.Build();
        EXPECT_TRUE(StartExecution(c, tracker, start));
    }
    std::unique_ptr<Command> third(q.Build());
    EXPECT_TRUE(StartExecution(third.get(), tracker, start));
    EXPECT_EQ(owned.size(), 2u);
    EXPECT_EQ(uint32_t(third->status), 0xFFFFFFFFu);
    EXPECT_EQ(third->flags & Command::kFlagDeferredReply, 0u);
    ASSERT_EQ(third->GetResultCount(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(third->GetResult(0)), 4), Le32(170));
    EXPECT_EQ(third->GetResultSize(1), 0u);

    tracker.Finish(); // one ended: room again, but the thread cannot be created
    std::unique_ptr<Command> fourth(q.Build());
    EXPECT_FALSE(StartExecution(fourth.get(), tracker, [](Command*) { return false; }));
    EXPECT_EQ(tracker.Running(), 1u);
    for (Command* c : owned)
        delete c;
}

} // namespace
} // namespace pm::exec::test
