#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "procman/w32/signals/service_command.h"
#include "tests/signals/fake_signal_platform.h"
#include "tests/signals/signals_test_support.h"

namespace pm::signals::test {
namespace {

constexpr uint32_t kCode = 0x73124545;

void AddU32(Command& c, uint32_t v) {
    auto b = Pid(v);
    c.AddParam(b.data(), 4);
}

void Fill(Command& c, uint32_t op, const char* name = "Test Service", uint32_t sub = 0x100) {
    AddU32(c, sub);
    auto n = Compressed(name);
    c.AddParam(n.data(), static_cast<uint32_t>(n.size()));
    AddU32(c, op);
}

uint32_t ErrorItem(const Command& c) {
    EXPECT_EQ(c.GetResultCount(), 1u);
    if (c.GetResultCount() != 1) return 0xFFFFFFFF;
    EXPECT_EQ(c.GetResultSize(0), 4u);
    const uint8_t* r = c.GetResult(0);
    return r[0] | r[1] << 8 | r[2] << 16 | uint32_t(r[3]) << 24;
}

TEST(OsSpecificCommandTest, FewerThanThreeParametersLeaveTheCommandAlone) {
    FakeSignalPlatform p;
    Command c(kCode);
    c.status = 77;
    AddU32(c, 0x100);
    auto n = Compressed("Test Service");
    c.AddParam(n.data(), static_cast<uint32_t>(n.size()));
    OsSpecificCommand(c, p);
    EXPECT_EQ(c.status, 77);
    EXPECT_EQ(c.GetResultCount(), 0u);
    EXPECT_TRUE(p.calls.empty());
}

TEST(OsSpecificCommandTest, OtherSubCommandsLeaveTheCommandAlone) {
    for (uint32_t sub : {0u, 0xFFu, 0x101u, 0x10000100u}) {
        FakeSignalPlatform p;
        Command c(kCode);
        Fill(c, 1, "Test Service", sub);
        OsSpecificCommand(c, p);
        EXPECT_EQ(c.status, 0);
        EXPECT_EQ(c.GetResultCount(), 0u);
        EXPECT_TRUE(p.calls.empty());
    }
    // A sub-command shorter than 4 bytes cannot be 0x100.
    FakeSignalPlatform p;
    Command c(kCode);
    const uint8_t two[] = {0x00, 0x01};
    c.AddParam(two, 2);
    auto n = Compressed("Test Service");
    c.AddParam(n.data(), static_cast<uint32_t>(n.size()));
    AddU32(c, 1);
    OsSpecificCommand(c, p);
    EXPECT_EQ(c.GetResultCount(), 0u);
    EXPECT_TRUE(p.calls.empty());
}

struct OpCase {
    const char* what;
    uint32_t op;
    ServiceStatus status;
    int32_t result_status; // 0: done
    std::vector<uint32_t> controls;
    bool started;
};

TEST(OsSpecificCommandTest, OperationsByState) {
    const ServiceStatus running{kServiceRunning, kAcceptStop | kAcceptPauseContinue};
    const ServiceStatus running_fixed{kServiceRunning, 0};
    const ServiceStatus paused{kServicePaused, kAcceptPauseContinue};
    const ServiceStatus stopped{kServiceStopped, 0};
    const OpCase cases[] = {
        {"start stopped", 1, stopped, 0, {}, true},
        {"start running", 1, running, kOsWrongState, {}, false},
        {"stop running", 2, running, 0, {kControlStop}, false},
        {"stop not accepted", 2, running_fixed, kOsWrongState, {}, false},
        {"stop stopped", 2, stopped, kOsWrongState, {}, false},
        {"pause running", 3, running, 0, {kControlPause}, false},
        {"pause not accepted", 3, running_fixed, kOsWrongState, {}, false},
        {"pause paused", 3, paused, kOsWrongState, {}, false},
        {"continue paused", 4, paused, 0, {kControlContinue}, false},
        {"continue running", 4, running, kOsWrongState, {}, false},
    };
    for (const auto& k : cases) {
        FakeSignalPlatform p;
        p.status = k.status;
        p.last_error = 1062; // what the system last said
        Command c(kCode);
        Fill(c, k.op);
        OsSpecificCommand(c, p);
        EXPECT_EQ(c.status, k.result_status) << k.what;
        if (k.result_status == 0) {
            EXPECT_EQ(c.GetResultCount(), 0u) << k.what;
        } else {
            EXPECT_EQ(ErrorItem(c), 1062u) << k.what; // one 4-byte item even for a state check
        }
        EXPECT_EQ(p.controls, k.controls) << k.what;
        EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "StartService"), k.started ? 1 : 0);
        EXPECT_TRUE(p.AllClosed()) << k.what;
    }
}

TEST(OsSpecificCommandTest, FailedCallsAnswerStatus4) {
    for (uint32_t op : {1u, 2u, 3u, 4u}) {
        FakeSignalPlatform p;
        p.status = op == 1   ? ServiceStatus{kServiceStopped, 0}
                   : op == 4 ? ServiceStatus{kServicePaused, 0}
                             : ServiceStatus{kServiceRunning, 3};
        p.control_ok = false;
        p.start_ok = false;
        p.last_error = 1053;
        Command c(kCode);
        Fill(c, op);
        OsSpecificCommand(c, p);
        EXPECT_EQ(c.status, kOsCallFailed);
        EXPECT_EQ(ErrorItem(c), 1053u);
        EXPECT_TRUE(p.AllClosed());
    }
}

TEST(OsSpecificCommandTest, ManagerServiceAndStatusFailures) {
    {
        FakeSignalPlatform p;
        p.manager_ok = false;
        p.last_error = 5;
        Command c(kCode);
        Fill(c, 1);
        OsSpecificCommand(c, p);
        EXPECT_EQ(c.status, kOsCannotOpenManager);
        EXPECT_EQ(ErrorItem(c), 5u);
        EXPECT_TRUE(p.AllClosed());
    }
    {
        FakeSignalPlatform p;
        p.open_service_ok = false;
        p.last_error = 1060;
        Command c(kCode);
        Fill(c, 1);
        OsSpecificCommand(c, p);
        EXPECT_EQ(c.status, kOsCannotOpenService);
        EXPECT_EQ(ErrorItem(c), 1060u);
        EXPECT_TRUE(p.AllClosed());
        EXPECT_EQ(p.calls.back(), "CloseServiceManager");
    }
    {
        FakeSignalPlatform p;
        p.query_ok = false;
        p.last_error = 6;
        Command c(kCode);
        Fill(c, 1);
        OsSpecificCommand(c, p);
        EXPECT_EQ(c.status, kOsCannotQueryStatus);
        EXPECT_EQ(ErrorItem(c), 6u);
        EXPECT_TRUE(p.AllClosed());
    }
}

TEST(OsSpecificCommandTest, DisplayNameOrKeyName) {
    FakeSignalPlatform display;
    Command a(kCode);
    Fill(a, 2, "Test Service");
    OsSpecificCommand(a, display);
    EXPECT_EQ(display.key_name_asked, "Test Service");
    EXPECT_EQ(display.opened_service, "TestSvc");

    FakeSignalPlatform key;
    key.key_name_ok = false; // not a display name: the name is the key name itself
    Command b(kCode);
    Fill(b, 2, "TestSvc");
    OsSpecificCommand(b, key);
    EXPECT_EQ(key.opened_service, "TestSvc");
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(key.controls, std::vector<uint32_t>{kControlStop});
}

TEST(OsSpecificCommandTest, OtherOperationsDoNothing) {
    for (uint32_t op : {0u, 5u, 0x100u}) {
        FakeSignalPlatform p;
        Command c(kCode);
        Fill(c, op);
        OsSpecificCommand(c, p);
        EXPECT_EQ(c.status, 0);
        EXPECT_EQ(c.GetResultCount(), 0u);
        EXPECT_TRUE(p.controls.empty());
        EXPECT_TRUE(p.AllClosed());
    }
    // An operation shorter than 4 bytes names none.
    FakeSignalPlatform p;
    Command c(kCode);
    AddU32(c, 0x100);
    auto n = Compressed("Test Service");
    c.AddParam(n.data(), static_cast<uint32_t>(n.size()));
    const uint8_t one[] = {2};
    c.AddParam(one, 1);
    OsSpecificCommand(c, p);
    EXPECT_EQ(c.GetResultCount(), 0u);
    EXPECT_TRUE(p.controls.empty());
}

TEST(OsSpecificCommandTest, UnterminatedNameCannotNameAService) {
    FakeSignalPlatform p;
    Command c(kCode);
    AddU32(c, 0x100);
    const uint8_t name[] = {'a', 'b'};
    c.AddParam(name, 2);
    AddU32(c, 1);
    OsSpecificCommand(c, p);
    EXPECT_EQ(c.status, kOsCannotOpenService);
    EXPECT_EQ(ErrorItem(c), kErrorInvalidName);
    EXPECT_TRUE(p.calls.empty());
}

} // namespace
} // namespace pm::signals::test
