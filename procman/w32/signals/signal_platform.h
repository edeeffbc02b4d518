// What signals and service control need from the system, narrowed to the calls they make.
// One object per operation: it holds at most one process, one thread snapshot, one service
// control manager and one service at a time, and closes whatever it still holds when it is
// destroyed. The program uses the Win32 implementation (signal_platform_win.h); tests use fakes.
// Portable: no OS code here.
#pragma once

#include <cstdint>
#include <string>

namespace pm::signals {

struct ThreadInfo {
    uint32_t thread_id = 0;
    uint32_t owner_process_id = 0;
};

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

class SignalPlatform {
public:
    virtual ~SignalPlatform() = default;

    // The messaging library's ordinal 37: nonzero on Windows 95/98 (0 when it is not loaded).
    virtual int IsWin9x() = 0;

    // OpenProcess with an inheritable handle: terminate access only, or all access.
    virtual bool OpenProcess(uint32_t process_id, bool all_access) = 0;
    virtual bool TerminateProcess(uint32_t exit_code) = 0;
    virtual void CloseProcess() = 0;

    // CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0) and its walk (entry size 28).
    virtual bool OpenThreadSnapshot() = 0;
    virtual bool ThreadFirst(ThreadInfo* thread) = 0;
    virtual bool ThreadNext(ThreadInfo* thread) = 0;
    virtual void CloseThreadSnapshot() = 0;

    // PostThreadMessageA(thread, WM_QUIT, 0, 0).
    virtual bool PostQuit(uint32_t thread_id) = 0;

    // The local service control manager and one service, all access.
    virtual bool OpenServiceManager() = 0;
    // GetServiceKeyNameA with a 512-byte buffer announced as 510 bytes.
    virtual bool ServiceKeyName(const std::string& display_name, std::string* key_name) = 0;
    virtual bool OpenServiceByKey(const std::string& key_name) = 0;
    virtual bool QueryServiceStatus(ServiceStatus* status) = 0;
    virtual bool ControlService(uint32_t control) = 0;
    virtual bool StartServiceNoArgs() = 0; // no arguments
    virtual void CloseService() = 0;
    virtual void CloseServiceManager() = 0;

    // GetLastError.
    virtual uint32_t LastError() = 0;
};

} // namespace pm::signals
