// Service control through both commands: Kill Process on the service tabs (by display name) and
// the OS-Specific Command (by display or key name), which decide alike from the service's state.
#include <gtest/gtest.h>

#include "procman/w32/signals/kill_process.h"
#include "procman/w32/signals/service_command.h"
#include "tests/signals/fake_signal_platform.h"
#include "tests/signals/signals_test_support.h"

namespace pm::signals::test {
namespace {

std::unique_ptr<Command> Request(std::vector<std::vector<uint8_t>> params) {
    auto c = std::make_unique<Command>(0x73124545);
    for (const auto& p : params)
        c->AddParam(p.data(), static_cast<uint32_t>(p.size()));
    return c;
}

std::unique_ptr<Command> Os(uint32_t op, FakeSignalPlatform& p) {
    auto c = Request({Pid(0x100), Compressed("Test Service"), Pid(op)});
    OsSpecificCommand(*c, p);
    return c;
}

uint32_t Kill(uint32_t tab, uint32_t signal, FakeSignalPlatform& p) {
    const table::RawTable nt(false);
    auto data = Compressed("Test Service");
    return KillProcess(nt, tab, signal, data.data(), static_cast<uint32_t>(data.size()), p);
}

uint32_t ErrorItem(const Command& c) {
    EXPECT_EQ(c.GetResultCount(), 1u);
    if (c.GetResultCount() != 1 || c.GetResultSize(0) != 4) return 0xFFFFFFFF;
    const uint8_t* r = c.GetResult(0);
    return r[0] | r[1] << 8 | r[2] << 16 | uint32_t(r[3]) << 24;
}

// A refusal carries the system's last error as its item even for a state check; a call that
// fails answers "call failed" on both.
TEST(ServiceControl, BothCommandsByState) {
    const ServiceStatus running{kServiceRunning, kAcceptStop | kAcceptPauseContinue};
    const ServiceStatus running_fixed{kServiceRunning, 0};
    const ServiceStatus paused{kServicePaused, kAcceptPauseContinue};
    const ServiceStatus stopped{kServiceStopped, 0};
    const ServiceStatus pending{2, 0};
    constexpr auto kRefuse = ServiceAction::kRefuse, kControl = ServiceAction::kControl;
    struct Case {
        const char* what;
        uint32_t signal, op;
        ServiceStatus status;
        ServiceAction::Kind kind;
        uint32_t control;
    };
    const Case cases[] = {
        {"pause running", 6, kOpPause, running, kControl, kControlPause},
        {"pause not accepted", 6, kOpPause, running_fixed, kRefuse, 0},
        {"pause paused", 6, kOpPause, paused, kRefuse, 0},
        {"continue paused", 7, kOpContinue, paused, kControl, kControlContinue},
        {"continue running", 7, kOpContinue, running, kRefuse, 0},
        {"stop running", 8, kOpStop, running, kControl, kControlStop},
        {"stop stopped", 8, kOpStop, stopped, kRefuse, 0},
        {"stop not accepted", 8, kOpStop, running_fixed, kRefuse, 0},
        {"start stopped", 9, kOpStart, stopped, ServiceAction::kStart, 0},
        {"start running", 9, kOpStart, running, kRefuse, 0},
        {"start pending", 9, kOpStart, pending, kRefuse, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool done = c.kind != kRefuse;
        FakeSignalPlatform kill[2], os;
        for (uint32_t tab : {2u, 3u}) {
            FakeSignalPlatform& p = kill[tab - 2];
            p.status = c.status;
            EXPECT_EQ(Kill(tab, c.signal, p), done ? kKillDone : kKillWrongState);
            EXPECT_EQ(p.lookup, KeyNameLookup::kDisplayNameOnly); // a key name is not accepted
        }
        os.status = c.status;
        os.last_error = 1062;
        auto reply = Os(c.op, os);
        EXPECT_EQ(reply->status, done ? 0 : kOsWrongState);
        if (done)
            EXPECT_EQ(reply->GetResultCount(), 0u);
        else
            EXPECT_EQ(ErrorItem(*reply), 1062u);
        EXPECT_EQ(os.lookup, KeyNameLookup::kOrKeyName);
        for (const FakeSignalPlatform* p : {&kill[0], &kill[1], &os}) {
            EXPECT_EQ(p->service_name, "Test Service");
            ASSERT_EQ(p->actions.size(), 1u);
            EXPECT_EQ(p->actions[0].kind, c.kind);
            EXPECT_EQ(p->actions[0].control, c.control);
        }
        if (!done) continue;
        FakeSignalPlatform failing[2]; // the same requests whose system call fails
        for (FakeSignalPlatform& f : failing)
            f.status = c.status, f.call_fails = true, f.last_error = 1053;
        EXPECT_EQ(Kill(3, c.signal, failing[0]), kKillCallFailed);
        auto f = Os(c.op, failing[1]);
        EXPECT_EQ(f->status, kOsCallFailed);
        EXPECT_EQ(ErrorItem(*f), 1053u);
    }
    // No such operation (none at all when shorter than 4 bytes): nothing done, nothing said.
    for (const auto& op : std::vector<std::vector<uint8_t>>{Pid(0), Pid(5), {2}}) {
        FakeSignalPlatform p;
        auto c = Request({Pid(0x100), Compressed("Test Service"), op});
        OsSpecificCommand(*c, p);
        EXPECT_EQ(c->status, 0);
        EXPECT_EQ(c->GetResultCount(), 0u);
        ASSERT_EQ(p.actions.size(), 1u);
        EXPECT_EQ(p.actions[0].kind, ServiceAction::kNothing);
    }
}

TEST(ServiceControl, StepsThatFailBeforeTheStateIsKnown) {
    const struct {
        ServiceStep step;
        uint32_t kill;
        int32_t os;
    } cases[] = {
        {ServiceStep::kOpenManager, kKillCannotOpen, kOsCannotOpenManager},
        {ServiceStep::kKeyName, kKillCannotOpen, kOsCannotOpenService},
        {ServiceStep::kOpenService, kKillCannotOpen, kOsCannotOpenService},
        {ServiceStep::kQueryStatus, kKillNotFound, kOsCannotQueryStatus},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.step));
        FakeSignalPlatform kill, os;
        kill.reach = os.reach = Win32Error(c.step, 1060 + uint32_t(c.step));
        EXPECT_EQ(Kill(2, kSignalStopService, kill), c.kill);
        auto reply = Os(kOpStart, os);
        EXPECT_EQ(reply->status, c.os);
        EXPECT_EQ(ErrorItem(*reply), 1060 + uint32_t(c.step));
        EXPECT_TRUE(kill.actions.empty() && os.actions.empty());
    }
}

TEST(OsSpecificCommandTest, OtherRequestsLeaveTheCommandAlone) {
    const std::vector<std::vector<std::vector<uint8_t>>> requests = {
        {Pid(0x100), Compressed("Test Service")}, // fewer than three parameters
        {Pid(0), Compressed("Test Service"), Pid(1)},
        {Pid(0xFF), Compressed("Test Service"), Pid(1)},
        {Pid(0x101), Compressed("Test Service"), Pid(1)},
        {Pid(0x10000100), Compressed("Test Service"), Pid(1)},
        {{0x00, 0x01}, Compressed("Test Service"), Pid(1)}, // a short sub-command is not 0x100
    };
    for (const auto& params : requests) {
        FakeSignalPlatform p;
        auto c = Request(params);
        c->status = 77;
        OsSpecificCommand(*c, p);
        EXPECT_EQ(c->status, 77);
        EXPECT_EQ(c->GetResultCount(), 0u);
        EXPECT_TRUE(p.service_name.empty());
    }
}

TEST(OsSpecificCommandTest, UnterminatedNameCannotNameAService) {
    FakeSignalPlatform p;
    auto c = Request({Pid(0x100), {'a', 'b'}, Pid(1)});
    OsSpecificCommand(*c, p);
    EXPECT_EQ(c->status, kOsCannotOpenService);
    EXPECT_EQ(ErrorItem(*c), kErrorInvalidName);
    EXPECT_TRUE(p.service_name.empty());
}

} // namespace
} // namespace pm::signals::test
