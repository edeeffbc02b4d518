// A SignalPlatform whose answers a test sets directly. The service question runs the portable
// decision on the status set here, and answers as the system would for the action it chose.
#pragma once

#include <string>
#include <vector>

#include "procman/w32/signals/signal_platform.h"

namespace pm::signals::test {

class FakeSignalPlatform : public SignalPlatform {
public:
    bool win9x = false;
    Win32Status<TerminateStep> terminate = Done{};
    QuitAnswer quit;
    // A failure before the status is read (manager, key name, service, status).
    Win32Status<ServiceStep> reach = Done{};
    ServiceStatus status{kServiceRunning, kAcceptStop | kAcceptPauseContinue};
    uint32_t last_error = 0; // the error of a refusal or of a failed call
    bool call_fails = false;

    // What was asked.
    std::vector<std::pair<uint32_t, ProcessAccess>> terminated;
    std::vector<uint32_t> quit_asked;
    std::string service_name;
    KeyNameLookup lookup = KeyNameLookup::kDisplayNameOnly;
    std::vector<ServiceAction> actions;

    bool IsWin9x() override { return win9x; }
    Win32Status<TerminateStep> TerminateProcessById(uint32_t pid, ProcessAccess access) override {
        terminated.emplace_back(pid, access);
        return terminate;
    }
    QuitAnswer PostQuitToFirstThread(uint32_t pid) override {
        quit_asked.push_back(pid);
        return quit;
    }
    Win32Status<ServiceStep> ControlServiceByName(const std::string& name, KeyNameLookup how,
                                                  const ServiceDecision& decide) override {
        service_name = name;
        lookup = how;
        if (!reach) return reach;
        const ServiceAction a = decide(status);
        actions.push_back(a);
        if (a.kind == ServiceAction::kRefuse) return Win32Error(ServiceStep::kRefused, last_error);
        if (a.kind != ServiceAction::kNothing && call_fails)
            return Win32Error(ServiceStep::kCall, last_error);
        return Done{};
    }
};

} // namespace pm::signals::test
