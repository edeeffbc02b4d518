// What signals and service control ask the system, as whole questions: each opens what it
// needs, closes it before it answers, and answers the step that failed with the system error.
// The program uses the Win32 implementation (signal_platform_win.h); tests use a fake.
// Portable: no OS code here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "shared/base/win32_result.h"

namespace pm::signals {

struct ServiceStatus {
    uint32_t current_state = 0;
    uint32_t controls_accepted = 0;
};

// Win32 service states, accepted controls and control codes.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServicePaused = 7;
constexpr uint32_t kAcceptStop = 0x01;
constexpr uint32_t kAcceptPauseContinue = 0x02;
constexpr uint32_t kControlStop = 1;
constexpr uint32_t kControlPause = 2;
constexpr uint32_t kControlContinue = 3;

enum class ProcessAccess : uint8_t { kTerminateOnly, kAll };
enum class TerminateStep : uint8_t { kOpenProcess, kTerminate };

enum class QuitStep : uint8_t { kThreadSnapshot, kNoThread, kPost };
struct QuitAnswer {
    uint32_t thread_id = 0; // the thread found (0 when none)
    Win32Status<QuitStep> status = Done{};
};

// What to do with a service once its status is read; the portable code decides.
struct ServiceAction {
    enum Kind : uint8_t {
        kNothing, // leave it (an operation the command does not know)
        kRefuse,  // its state does not allow the request
        kControl, // ControlService(control)
        kStart,   // StartServiceA with no arguments
    };
    Kind kind = kNothing;
    uint32_t control = 0;
};
using ServiceDecision = std::function<ServiceAction(const ServiceStatus& status)>;

// kKeyName fails only when the name must be a display name.
enum class ServiceStep : uint8_t {
    kOpenManager,
    kKeyName,
    kOpenService,
    kQueryStatus,
    kRefused, // error: the system's last-error value when the request was refused
    kCall,
};
// How the given name is turned into the service's key name (GetServiceKeyNameA with a
// 512-byte buffer announced as 510 bytes).
enum class KeyNameLookup : uint8_t {
    kDisplayNameOnly, // the name must be a display name
    kOrKeyName,       // when it is not, it is taken as the key name itself
};

class SignalPlatform {
public:
    virtual ~SignalPlatform() = default;

    // The messaging library's ordinal 37: Windows 95/98 (false when it is not loaded).
    virtual bool IsWin9x() = 0;

    // OpenProcess (inheritable handle) with the given access, TerminateProcess(exit code 0).
    virtual Win32Status<TerminateStep> TerminateProcessById(uint32_t process_id,
                                                            ProcessAccess access) = 0;

    // A toolhelp thread snapshot (entry size 28), and WM_QUIT (0, 0) posted to the first
    // thread of the process.
    virtual QuitAnswer PostQuitToFirstThread(uint32_t process_id) = 0;

    // The local service control manager and the service, all access: the status is read and
    // handed to decide, and the action it answers is carried out.
    virtual Win32Status<ServiceStep> ControlServiceByName(const std::string& name,
                                                          KeyNameLookup lookup,
                                                          const ServiceDecision& decide) = 0;
};

} // namespace pm::signals
