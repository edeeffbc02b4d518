// Portable: no OS code here; every system call goes through SignalPlatform.
#include "procman/w32/signals/service_command.h"

#include <cstring>
#include <string>

#include "procman/w32/signals/platform_guards.h"
#include "shared/text/text_string.h"

namespace pm::signals {
namespace {

bool ReadU32(const Command& c, size_t i, uint32_t* value) {
    const uint8_t* p = c.GetParam(i);
    if (p == nullptr || c.GetParamSize(i) < 4) return false;
    *value = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
             static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    return true;
}

void Fail(Command& c, int32_t status, uint32_t error) {
    const uint8_t item[4] = {static_cast<uint8_t>(error), static_cast<uint8_t>(error >> 8),
                             static_cast<uint8_t>(error >> 16), static_cast<uint8_t>(error >> 24)};
    c.AddResult(item, sizeof item);
    c.status = status;
}

} // namespace

void OsSpecificCommand(Command& c, SignalPlatform& p) {
    uint32_t sub = 0;
    if (c.GetParamCount() < 3 || !ReadU32(c, 0, &sub) || sub != kSubCommandServiceControl) return;

    const uint8_t* raw = c.GetParam(1);
    if (raw == nullptr || std::memchr(raw, 0, c.GetParamSize(1)) == nullptr) {
        Fail(c, kOsCannotOpenService, kErrorInvalidName);
        return;
    }
    TextString name(reinterpret_cast<const char*>(raw));
    name.FromCompressedUnicode();
    uint32_t op = 0;
    if (!ReadU32(c, 2, &op)) op = 0;

    if (!p.OpenServiceManager()) {
        Fail(c, kOsCannotOpenManager, p.LastError());
        return;
    }
    ServiceManagerGuard manager(p);
    // Either a display name or a key name may be given.
    std::string key;
    if (!p.ServiceKeyName(name.CStr(), &key)) key = name.CStr();
    if (!p.OpenServiceByKey(key)) {
        Fail(c, kOsCannotOpenService, p.LastError());
        return;
    }
    ServiceGuard service(p);
    ServiceStatus status;
    if (!p.QueryServiceStatus(&status)) {
        Fail(c, kOsCannotQueryStatus, p.LastError());
        return;
    }

    const bool running = status.current_state == kServiceRunning;
    bool allowed = false;
    switch (op) {
    case kOpStart:
        allowed = status.current_state == kServiceStopped;
        break;
    case kOpStop:
        allowed = running && (status.controls_accepted & kAcceptStop) != 0;
        break;
    case kOpPause:
        allowed = running && (status.controls_accepted & kAcceptPauseContinue) != 0;
        break;
    case kOpContinue:
        allowed = status.current_state == kServicePaused;
        break;
    default:
        return; // no such operation: nothing to do
    }
    if (!allowed) {
        Fail(c, kOsWrongState, p.LastError());
        return;
    }
    bool ok = false;
    switch (op) {
    case kOpStart:
        ok = p.StartServiceNoArgs();
        break;
    case kOpStop:
        ok = p.ControlService(kControlStop);
        break;
    case kOpPause:
        ok = p.ControlService(kControlPause);
        break;
    default:
        ok = p.ControlService(kControlContinue);
        break;
    }
    if (!ok) Fail(c, kOsCallFailed, p.LastError());
}

} // namespace pm::signals
