// The flow of one execution through a scripted platform: every status, exactly one reply on
// every path, the reply items byte for byte, and every handle released.
#include <gtest/gtest.h>

#include "procman/w32/exec/ace_grants.h"
#include "procman/w32/exec/exec_process.h"
#include "shared/crypto/password_cipher.h"
#include "tests/exec/exec_test_support.h"
#include "tests/exec/fake_exec_platform.h"
#include "tests/node/process_trace_capture.h"

namespace pm::exec::test {
namespace {

class ExecFlow : public ::testing::Test {
protected:
    FakeExecPlatform platform;
    Replies replies;
    Request request;

    uint32_t Run() {
        uint32_t started =
            ExecProcess(request.Build(), platform, [this](Command* c) { return replies.Send(c); });
        // Whatever the path: one reply, nothing held.
        EXPECT_EQ(replies.sent.size(), 1u);
        EXPECT_EQ(platform.held.mutex, 0);
        EXPECT_EQ(platform.held.tokens, 0);
        EXPECT_EQ(platform.held.objects, 0);
        EXPECT_EQ(platform.held.processes, 0);
        return started;
    }
    const Reply& Only() { return replies.sent.at(0); }
    void ExpectRefused(int32_t status, uint32_t error) {
        ASSERT_EQ(replies.sent.size(), 1u);
        EXPECT_EQ(uint32_t(Only().status), uint32_t(status));
        EXPECT_EQ(Only().items, (std::vector<std::string>{Le32(error), ""}));
    }
};

TEST_F(ExecFlow, CapturedOutputWithItsExitCode) {
    request.flags = EXEC_CAPTURE_OUTPUT;
    platform.output = {"hello\r\n", std::string(5000, 'x'), std::string("a\0b", 3)};
    platform.exit_code = 3;
    EXPECT_EQ(Run(), 1u);
    EXPECT_EQ(Only().status, kExecOk);
    EXPECT_EQ(
        Only().items,
        (std::vector<std::string>{
            Le32(3), "hello\r\n" + std::string(5000, 'x') + std::string("a\0b", 3), Le32(1)}));
    ASSERT_EQ(platform.starts.size(), 1u);
    EXPECT_TRUE(platform.starts[0].capture);
    EXPECT_EQ(platform.starts[0].variant, 1);
    EXPECT_EQ(platform.starts[0].command_line, "cmd /c echo hi");
    EXPECT_EQ(platform.held_at_start, 1); // created under the execution mutex
    EXPECT_EQ(platform.waited_for_mutex, 30000u);
}

TEST_F(ExecFlow, CompressedUnicodeOutputEndsInOneZero) {
    request.flags = EXEC_CAPTURE_OUTPUT | EXEC_UNICODE_OUTPUT;
    platform.output = {"ok\x81"}; // OEM u-umlaut
    Run();
    EXPECT_EQ(Only().items, (std::vector<std::string>{Le32(0), Cu("ok\xFC"), Le32(2)}));
}

TEST_F(ExecFlow, CaptureOfNothingIsAnEmptyItem) {
    request.flags = EXEC_CAPTURE_OUTPUT | EXEC_UNICODE_OUTPUT;
    Run();
    EXPECT_EQ(Only().items, (std::vector<std::string>{Le32(0), "", Le32(1)}));
}

TEST_F(ExecFlow, WithoutWaitOrCaptureTheReplyComesAtOnceWithExitCodeZero) {
    platform.exit_code = 7;
    platform.wait = WaitOutcome::kFailed; // would show if it were waited for
    Run();
    EXPECT_EQ(Only().status, kExecOk);
    EXPECT_EQ(Only().items, (std::vector<std::string>{Le32(0), "", Le32(1)}));
}

TEST_F(ExecFlow, TimeOutAnswersStillActive) {
    request.flags = EXEC_WAIT;
    request.timeout_s = 5;
    platform.wait = WaitOutcome::kTimedOut;
    EXPECT_EQ(Run(), 1u);
    EXPECT_EQ(uint32_t(Only().status), 0xFFFF0002u);
    EXPECT_EQ(Only().items, (std::vector<std::string>{Le32(259), "", Le32(1)}));
}

TEST_F(ExecFlow, WaitLimits) {
    struct Case {
        uint32_t seconds, ms;
    } cases[] = {{0, 0xFFFFFFFFu}, {5, 5000}, {4294967, 0xFFFFFFFEu}, {0xFFFFFFFFu, 0xFFFFFFFEu}};
    for (const auto& c : cases) {
        FakeExecPlatform p;
        Replies r;
        Request q;
        q.flags = EXEC_WAIT;
        q.timeout_s = c.seconds;
        ExecProcess(q.Build(), p, [&](Command* cmd) { return r.Send(cmd); });
        ASSERT_EQ(r.sent.size(), 1u);
        EXPECT_EQ(r.sent[0].status, kExecOk);
        EXPECT_EQ(p.waited_for_process, c.ms) << c.seconds;
    }
}

TEST_F(ExecFlow, CreationFailuresByError) {
    struct Case {
        uint32_t error;
        uint32_t status;
    } cases[] = {{2, 0xDA000F01},  {4, 0xDA000F04},  {5, 0xDA000F02},  {8, 0xDA000F03},
                 {14, 0xDA000F03}, {11, 0xDA000F05}, {32, 0xDA000F06}, {1234, 0xDA000F08}};
    for (const auto& c : cases) {
        FakeExecPlatform p;
        p.start_failure = StartResult::Failure::kCreate;
        p.start_error = c.error;
        Replies r;
        EXPECT_EQ(ExecProcess(request.Build(), p, [&](Command* cmd) { return r.Send(cmd); }), 0u);
        ASSERT_EQ(r.sent.size(), 1u);
        EXPECT_EQ(uint32_t(r.sent[0].status), c.status) << c.error;
        EXPECT_EQ(r.sent[0].items, (std::vector<std::string>{Le32(c.error), ""}));
        EXPECT_EQ(p.held.mutex, 0);
    }
}

TEST_F(ExecFlow, PipeFailure) {
    request.flags = EXEC_CAPTURE_OUTPUT;
    platform.start_failure = StartResult::Failure::kPipe;
    platform.start_error = 1450;
    EXPECT_EQ(Run(), 0u);
    ExpectRefused(kExecFailed, 1450);
}

TEST_F(ExecFlow, TooFewParameters) {
    request.params = 5;
    EXPECT_EQ(Run(), 0u);
    ExpectRefused(kExecFailed, 0);
    EXPECT_TRUE(platform.starts.empty());
}

TEST_F(ExecFlow, AnonymousExecution) {
    struct Case {
        int anonymous;
        bool readable;
        uint32_t value;
        uint32_t flags;
        bool refused;
    } cases[] = {
        {1, true, 1, 0, true},             // restricted
        {1, true, 0, 0, false},            // value 0
        {1, false, 1, 0, false},           // key or value missing
        {0, true, 1, 0, false},            // not anonymous
        {1, true, 1, EXEC_AS_USER, false}, // as a user: not consulted
    };
    for (const auto& c : cases) {
        FakeExecPlatform p;
        p.anonymous = c.anonymous;
        p.restrict_readable = c.readable;
        p.restrict_value = c.value;
        Replies r;
        Request q;
        q.flags = c.flags;
        q.user = "bob";
        q.password = Cu("pw");
        ExecProcess(q.Build(), p, [&](Command* cmd) { return r.Send(cmd); });
        ASSERT_EQ(r.sent.size(), 1u);
        if (c.refused) {
            EXPECT_EQ(uint32_t(r.sent[0].status), 0xDA000F09u);
            EXPECT_EQ(r.sent[0].items, (std::vector<std::string>{Le32(0), ""}));
            EXPECT_TRUE(p.starts.empty());
        } else {
            EXPECT_EQ(r.sent[0].status, kExecOk);
            EXPECT_EQ(p.starts.size(), 1u);
        }
    }
}

TEST_F(ExecFlow, ExpansionInTheFlow) {
    platform.variables.environment = {{"A", "alpha"}, {"BB", "b"}};
    request.line = "$(A)x$(BB) //";
    Run();
    EXPECT_EQ(platform.starts.at(0).command_line, "alphaxb \\");

    FakeExecPlatform unclosed;
    Replies r;
    Request q;
    q.line = "echo $(A //";
    ExecProcess(q.Build(), unclosed, [&](Command* c) { return r.Send(c); });
    EXPECT_EQ(unclosed.starts.at(0).command_line, "echo $(A //"); // no "//" replacement either
}

TEST_F(ExecFlow, ExpandedLineBeyondItsRoomIsRefused) {
    platform.variables.environment = {{"BIG", std::string(2000, 'x')}};
    request.line = "$(BIG)$(BIG)$(BIG)";
    EXPECT_EQ(Run(), 0u);
    ExpectRefused(kExecFailed, kErrorBufferOverflow);
    EXPECT_TRUE(platform.starts.empty());
}

TEST_F(ExecFlow, EnvironmentBlockAndWorkingDirectory) {
    request.flags = EXEC_ENVIRONMENT;
    request.params = 7;
    request.env = std::string("A=1\0B=2\0\0", 9);
    request.cwd = "C:\\work";
    Run();
    const StartSpec& s = platform.starts.at(0);
    EXPECT_EQ(s.variant, 2);
    ASSERT_NE(s.environment, nullptr);
    EXPECT_EQ(s.environment_size, 9u);
    EXPECT_EQ(s.working_directory, "C:\\work");

    // Without the flag, or with only six parameters, there is no block.
    FakeExecPlatform p;
    Replies r;
    Request q = request;
    q.flags = 0;
    ExecProcess(q.Build(), p, [&](Command* c) { return r.Send(c); });
    EXPECT_EQ(p.starts.at(0).environment, nullptr);
    EXPECT_EQ(p.starts.at(0).variant, 1);
}

TEST_F(ExecFlow, UnterminatedEnvironmentBlockIsRefused) {
    for (std::string env : {std::string("A=1", 3), std::string(""), std::string("A=1\0", 4)}) {
        FakeExecPlatform p;
        Replies r;
        Request q;
        q.flags = EXEC_ENVIRONMENT;
        q.params = 7;
        q.env = env;
        EXPECT_EQ(ExecProcess(q.Build(), p, [&](Command* c) { return r.Send(c); }), 0u);
        ASSERT_EQ(r.sent.size(), 1u);
        EXPECT_EQ(r.sent[0].items, (std::vector<std::string>{Le32(kErrorInvalidParameter), ""}));
        EXPECT_TRUE(p.starts.empty());
        EXPECT_EQ(p.held.mutex, 0);
    }
}

TEST_F(ExecFlow, AsUserWithAnEncryptedPassword) {
    request.flags = EXEC_AS_USER | EXEC_ENCRYPTED_PASSWORD | EXEC_WAIT;
    request.user = "alice";
    std::vector<uint8_t> cipher;
    ASSERT_TRUE(EncryptPassword(Cu("Secret#42").c_str(), &cipher));
    ASSERT_EQ(cipher.size(), 16u);
    request.password.assign(cipher.begin(), cipher.end());
    pm::test::ProcessTraceCapture trace;
    EXPECT_EQ(Run(), 1u);
    EXPECT_EQ(Only().status, kExecOk);
    EXPECT_EQ(platform.logons, std::vector<std::string>{"alice"});
    EXPECT_EQ(platform.last_password, "Secret#42");
    const StartSpec& s = platform.starts.at(0);
    EXPECT_EQ(s.variant, 3);
    EXPECT_EQ(platform.tokens_at_start, 1);
    // Both objects got their ACEs once.
    EXPECT_EQ(platform.station_writes, 1);
    EXPECT_EQ(platform.desktop_writes, 1);
    EXPECT_EQ(trace.Lines().find("Secret"), std::string::npos);
    EXPECT_NE(trace.Lines().find("alice"), std::string::npos);
}

TEST_F(ExecFlow, AsUserWithAPlainPasswordAndAnEnvironment) {
    request.flags = EXEC_AS_USER | EXEC_ENVIRONMENT;
    request.params = 7;
    request.env = std::string("\0\0", 2);
    request.user = "bob";
    request.password = Cu("pw");
    Run();
    EXPECT_EQ(platform.last_password, "pw");
    EXPECT_EQ(platform.starts.at(0).variant, 4);
}

TEST_F(ExecFlow, UserWhoHoldsEverythingCausesNoWrite) {
    request.flags = EXEC_AS_USER;
    request.user = "carol";
    platform.station_dacl = EmptyAcl();
    AppendAllowedAce(platform.station_dacl, 0x0B, 0xF0000000, platform.sid);
    AppendAllowedAce(platform.station_dacl, 0x04, 0x000F037F, platform.sid);
    platform.desktop_dacl = EmptyAcl();
    AppendAllowedAce(platform.desktop_dacl, 0, 0x000F01FF, platform.sid);
    Run();
    EXPECT_EQ(platform.station_writes, 0);
    EXPECT_EQ(platform.desktop_writes, 0);
    EXPECT_EQ(Only().status, kExecOk);
}

TEST_F(ExecFlow, EveryUserStepFailureHasItsReplyAndStartsNothing) {
    struct Case {
        const char* step;
        void (*script)(FakeExecPlatform&);
        uint32_t error;
    } cases[] = {
        {"logon", [](FakeExecPlatform& p) { p.logon_error = 1326; }, 1326},
        {"window station", [](FakeExecPlatform& p) { p.station_error = 5; }, 5},
        {"desktop", [](FakeExecPlatform& p) { p.desktop_error = 2; }, 2},
        {"user SID", [](FakeExecPlatform& p) { p.sid_error = 6; }, 6},
        {"window-station DACL read", [](FakeExecPlatform& p) { p.station_read_error = 122; }, 122},
        {"window-station DACL write", [](FakeExecPlatform& p) { p.station_write_error = 5; }, 5},
        {"desktop DACL read", [](FakeExecPlatform& p) { p.desktop_read_error = 87; }, 87},
        {"desktop DACL write", [](FakeExecPlatform& p) { p.desktop_write_error = 1307; }, 1307},
        {"malformed DACL", [](FakeExecPlatform& p) { p.station_dacl = {2, 0, 8, 0, 3, 0, 0, 0}; },
         1336},
    };
    for (const auto& c : cases) {
        FakeExecPlatform p;
        c.script(p);
        Replies r;
        Request q;
        q.flags = EXEC_AS_USER | EXEC_WAIT;
        q.user = "dave";
        q.password = Cu("pw");
        EXPECT_EQ(ExecProcess(q.Build(), p, [&](Command* cmd) { return r.Send(cmd); }), 0u)
            << c.step;
        ASSERT_EQ(r.sent.size(), 1u) << c.step;
        EXPECT_EQ(uint32_t(r.sent[0].status), 0xFFFFFFFFu) << c.step;
        EXPECT_EQ(r.sent[0].items, (std::vector<std::string>{Le32(c.error), ""})) << c.step;
        EXPECT_TRUE(p.starts.empty()) << c.step;
        EXPECT_EQ(p.held.mutex + p.held.tokens + p.held.objects, 0) << c.step;
    }
}

TEST_F(ExecFlow, CiphertextNotInWholeBlocksIsRefusedBeforeAnyLogon) {
    request.flags = EXEC_AS_USER | EXEC_ENCRYPTED_PASSWORD;
    request.user = "eve";
    request.password = std::string(7, 'x');
    EXPECT_EQ(Run(), 0u);
    ExpectRefused(kExecFailed, kErrorInvalidParameter);
    EXPECT_TRUE(platform.logons.empty());
}

TEST_F(ExecFlow, Windows95ModeRunsAsTheAgent) {
    platform.win95 = true;
    request.flags = EXEC_AS_USER | EXEC_ENCRYPTED_PASSWORD;
    request.user = "frank";
    request.password = std::string(7, 'x'); // not even looked at
    Run();
    EXPECT_EQ(Only().status, kExecOk);
    EXPECT_TRUE(platform.logons.empty());
    EXPECT_EQ(platform.starts.at(0).variant, 1);
}

TEST_F(ExecFlow, MutexNotObtainedInTimeStillExecutes) {
    platform.mutex_free = false;
    Run();
    EXPECT_EQ(Only().status, kExecOk);
    EXPECT_EQ(platform.held_at_start, 0);
}

TEST_F(ExecFlow, AReplyTooLargeToPackBecomesTheFailureReply) {
    request.flags = EXEC_CAPTURE_OUTPUT;
    platform.output = {"big"};
    replies.refuse_first = true;
    EXPECT_EQ(Run(), 1u);
    ExpectRefused(kExecFailed, kErrorNotEnoughMemory);
}

TEST_F(ExecFlow, NoWindowAndTheWaitThatFails) {
    request.flags = EXEC_NO_WINDOW | EXEC_WAIT;
    platform.wait = WaitOutcome::kFailed;
    EXPECT_EQ(Run(), 1u);
    EXPECT_TRUE(platform.starts.at(0).no_window);
    ExpectRefused(kExecFailed, 6);
}

} // namespace
} // namespace pm::exec::test
