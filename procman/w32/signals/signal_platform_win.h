// The Win32 implementation of SignalPlatform. One object per operation; every handle it opens
// is owned by an RAII member and closed at the latest when the object goes.
#pragma once

#include <windows.h>

#include "procman/w32/signals/signal_platform.h"
#include "shared/base/win_handles.h"

namespace pm::signals {

class Win32SignalPlatform final : public SignalPlatform {
public:
    int IsWin9x() override;

    bool OpenProcess(uint32_t process_id, bool all_access) override;
    bool TerminateProcess(uint32_t exit_code) override;
    void CloseProcess() override { process_.reset(); }

    bool OpenThreadSnapshot() override;
    bool ThreadFirst(ThreadInfo* thread) override;
    bool ThreadNext(ThreadInfo* thread) override;
    void CloseThreadSnapshot() override { snapshot_.reset(); }

    bool PostQuit(uint32_t thread_id) override;

    bool OpenServiceManager() override;
    bool ServiceKeyName(const std::string& display_name, std::string* key_name) override;
    bool OpenServiceByKey(const std::string& key_name) override;
    bool QueryServiceStatus(ServiceStatus* status) override;
    bool ControlService(uint32_t control) override;
    bool StartServiceNoArgs() override;
    void CloseService() override { service_.reset(); }
    void CloseServiceManager() override { manager_.reset(); }

    uint32_t LastError() override { return GetLastError(); }

private:
    win::unique_handle process_;
    win::unique_hfile snapshot_;
    win::unique_schandle manager_;
    win::unique_schandle service_;
};

} // namespace pm::signals
