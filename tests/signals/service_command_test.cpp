#include <gtest/gtest.h>

#include "procman/w32/signals/service_command.h"
#include "tests/signals/fake_signal_platform.h"
#include "tests/signals/signals_test_support.h"

namespace pm::signals::test {
namespace {

constexpr uint32_t kCode = 0x73124545;

std::unique_ptr<Command> Request(std::vector<std::vector<uint8_t>> params) {
    auto c = std::make_unique<Command>(kCode);
    for (const auto& p : params)
        c->AddParam(p.data(), static_cast<uint32_t>(p.size()));
    return c;
}

std::unique_ptr<Command> Control(uint32_t op, const char* name = "Test Service") {
    return Request({Pid(0x100), Compressed(name), Pid(op)});
}

uint32_t ErrorItem(const Command& c) {
    EXPECT_EQ(c.GetResultCount(), 1u);
    if (c.GetResultCount() != 1 || c.GetResultSize(0) != 4) return 0xFFFFFFFF;
    const uint8_t* r = c.GetResult(0);
    return r[0] | r[1] << 8 | r[2] << 16 | uint32_t(r[3]) << 24;
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

TEST(OsSpecificCommandTest, OperationsByState) {
    const ServiceStatus running{kServiceRunning, kAcceptStop | kAcceptPauseContinue};
    const ServiceStatus running_fixed{kServiceRunning, 0};
    const ServiceStatus paused{kServicePaused, kAcceptPauseContinue};
    const ServiceStatus stopped{kServiceStopped, 0};
    struct Case {
        const char* what;
        uint32_t op;
        ServiceStatus status;
        int32_t status_code; // 0: done
        ServiceAction::Kind kind;
        uint32_t control;
    };
    const Case cases[] = {
        {"start stopped", 1, stopped, 0, ServiceAction::kStart, 0},
        {"start running", 1, running, kOsWrongState, ServiceAction::kRefuse, 0},
        {"stop running", 2, running, 0, ServiceAction::kControl, kControlStop},
        {"stop not accepted", 2, running_fixed, kOsWrongState, ServiceAction::kRefuse, 0},
        {"stop stopped", 2, stopped, kOsWrongState, ServiceAction::kRefuse, 0},
        {"pause running", 3, running, 0, ServiceAction::kControl, kControlPause},
        {"pause not accepted", 3, running_fixed, kOsWrongState, ServiceAction::kRefuse, 0},
        {"pause paused", 3, paused, kOsWrongState, ServiceAction::kRefuse, 0},
        {"continue paused", 4, paused, 0, ServiceAction::kControl, kControlContinue},
        {"continue running", 4, running, kOsWrongState, ServiceAction::kRefuse, 0},
        {"no such operation", 0, running, 0, ServiceAction::kNothing, 0},
        {"no such operation", 5, stopped, 0, ServiceAction::kNothing, 0},
    };
    for (const auto& k : cases) {
        FakeSignalPlatform p;
        p.status = k.status;
        p.last_error = 1062; // what the system last said
        auto c = Control(k.op);
        OsSpecificCommand(*c, p);
        EXPECT_EQ(c->status, k.status_code) << k.what;
        if (k.status_code == 0) {
            EXPECT_EQ(c->GetResultCount(), 0u) << k.what;
        } else {
            EXPECT_EQ(ErrorItem(*c), 1062u) << k.what; // one 4-byte item even for a state check
        }
        ASSERT_EQ(p.actions.size(), 1u) << k.what;
        EXPECT_EQ(p.actions[0].kind, k.kind) << k.what;
        EXPECT_EQ(p.actions[0].control, k.control) << k.what;
        // Either a display name or a key name may be given.
        EXPECT_EQ(p.lookup, KeyNameLookup::kOrKeyName);
        EXPECT_EQ(p.service_name, "Test Service");
        if (k.kind != ServiceAction::kStart && k.kind != ServiceAction::kControl) continue;
        FakeSignalPlatform failing;
        failing.status = k.status;
        failing.call_fails = true;
        failing.last_error = 1053;
        auto f = Control(k.op);
        OsSpecificCommand(*f, failing);
        EXPECT_EQ(f->status, kOsCallFailed) << k.what;
        EXPECT_EQ(ErrorItem(*f), 1053u) << k.what;
    }
    // An operation shorter than 4 bytes names none.
    FakeSignalPlatform p;
    auto c = Request({Pid(0x100), Compressed("Test Service"), {2}});
    OsSpecificCommand(*c, p);
    EXPECT_EQ(c->GetResultCount(), 0u);
    EXPECT_EQ(p.actions[0].kind, ServiceAction::kNothing);
}

TEST(OsSpecificCommandTest, StepsThatFailAndTheirStatus) {
    const std::pair<ServiceStep, int32_t> cases[] = {
        {ServiceStep::kOpenManager, kOsCannotOpenManager},
        {ServiceStep::kOpenService, kOsCannotOpenService},
        {ServiceStep::kQueryStatus, kOsCannotQueryStatus},
    };
    for (const auto& [step, status] : cases) {
        FakeSignalPlatform p;
        p.reach = Win32Error(step, 1060 + uint32_t(step));
        auto c = Control(1);
        OsSpecificCommand(*c, p);
        EXPECT_EQ(c->status, status);
        EXPECT_EQ(ErrorItem(*c), 1060 + uint32_t(step));
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
