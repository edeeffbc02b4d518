// Portable: no OS code here; every system call goes through SignalPlatform.
#include "procman/w32/signals/service_command.h"

#include <cstring>
#include <string>

#include "shared/base/endian.h"
#include "shared/text/text_string.h"

namespace pm::signals {
namespace {

void Fail(Command& c, int32_t status, uint32_t error) {
    uint8_t item[4];
    le::Store32(item, error);
    c.AddResult(item, sizeof item);
    c.status = status;
}

// The state each operation needs, and what it does then.
ServiceAction Decide(uint32_t op, const ServiceStatus& status) {
    const bool running = status.current_state == kServiceRunning;
    const auto when = [](bool allowed, ServiceAction action) {
        return allowed ? action : ServiceAction{ServiceAction::kRefuse, 0};
    };
    switch (op) {
    case kOpStart:
        return when(status.current_state == kServiceStopped, {ServiceAction::kStart, 0});
    case kOpStop:
        return when(running && (status.controls_accepted & kAcceptStop) != 0,
                    {ServiceAction::kControl, kControlStop});
    case kOpPause:
        return when(running && (status.controls_accepted & kAcceptPauseContinue) != 0,
                    {ServiceAction::kControl, kControlPause});
    case kOpContinue:
        return when(status.current_state == kServicePaused,
                    {ServiceAction::kControl, kControlContinue});
    default:
        return {}; // no such operation: nothing to do
    }
}

// The command's status for the step that failed.
int32_t StatusOf(ServiceStep step) {
    switch (step) {
    case ServiceStep::kOpenManager:
        return kOsCannotOpenManager;
    case ServiceStep::kKeyName: // not asked for: a name that is no display name is the key
    case ServiceStep::kOpenService:
        return kOsCannotOpenService;
    case ServiceStep::kQueryStatus:
        return kOsCannotQueryStatus;
    case ServiceStep::kRefused:
        return kOsWrongState;
    case ServiceStep::kCall:
        return kOsCallFailed;
    }
    return kOsCallFailed;
}

} // namespace

void OsSpecificCommand(Command& c, SignalPlatform& p) {
    uint32_t sub = 0;
    if (c.GetParamCount() < 3 || !c.ParamU32(0, &sub) || sub != kSubCommandServiceControl) return;

    const uint8_t* raw = c.GetParam(1);
    if (raw == nullptr || std::memchr(raw, 0, c.GetParamSize(1)) == nullptr) {
        Fail(c, kOsCannotOpenService, kErrorInvalidName);
        return;
    }
    TextString name(reinterpret_cast<const char*>(raw));
    name.FromCompressedUnicode();
    uint32_t op = 0;
    if (!c.ParamU32(2, &op)) op = 0;

    // Either a display name or a key name may be given.
    const Win32Status<ServiceStep> done =
        p.ControlServiceByName(name.CStr(), KeyNameLookup::kOrKeyName,
                               [op](const ServiceStatus& status) { return Decide(op, status); });
    if (!done) Fail(c, StatusOf(done.failed_step()), done.error());
}

} // namespace pm::signals
