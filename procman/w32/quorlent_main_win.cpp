// quorlent: the windowless program that serves the management console as the node "ProcMgr".
#include <windows.h>

#include <io.h>

#include <cstdio>

#include "shared/ipc/kavipc32_abi.h"
#include "procman/w32/exec/execution_tracker.h"
#include "procman/w32/process_list/process_list_win.h"
#include "procman/w32/startup.h"
#include "procman/w32/table/snapshot_platform_win.h"
#include "shared/cmdline/cmd_line.h"
#include "shared/cmdline/cmd_line_win.h"

namespace pm {
namespace {

class Win32StartupEnv final : public StartupEnv {
public:
    std::string LogDirectory() override {
        CmdLine cmd_line(1);
        const char* dir = cmd_line.LogDirectory();
        return dir ? dir : "";
    }
    bool FileExists(const std::string& path) override { return _access(path.c_str(), 0) == 0; }
    FILE* OpenLog(const std::string& path) override {
        FILE* file = std::fopen(path.c_str(), "a+");
        // The C run-time opens it inheritable: no command the agent runs may get it.
        if (file)
            SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))),
                                 HANDLE_FLAG_INHERIT, 0);
        return file;
    }
    void RegisterServiceProcess() override {
        static bool done = false;
        if (done) return;
        done = true;
        using RegisterFn = DWORD(WINAPI*)(DWORD, DWORD);
        HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
        auto fn = kernel ? reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(
                               GetProcAddress(kernel, "RegisterServiceProcess")))
                         : nullptr;
        if (fn) fn(0, 1);
    }
    void EndExecutions() override {
        size_t left = exec::ProcessExecutions().Close(exec::kShutdownWaitMs);
        if (left)
            Trace("--quorlent: %lu executions still waiting for their process end without a "
                  "reply\n",
                  static_cast<unsigned long>(left));
    }
    ProcMgrSvcNode* CreateNode() override {
        return new ProcMgrSvcNode(ProcessMessagingLibrary(), SystemNodePlatform());
    }
    void DestroyNode(ProcMgrSvcNode* node) override { delete node; }
    void Puts(const char* text) override {
        std::puts(text);
        std::fflush(stdout);
    }
    uint32_t NodeOwner() override {
        // Ordinal 13, bound by name so that an older library simply answers "unknown".
        HMODULE lib = GetModuleHandleA("KAVIPC32.DLL");
        auto fn = lib ? reinterpret_cast<KavNodeOwnerProcessFn>(
                            reinterpret_cast<void*>(GetProcAddress(lib, "NodeOwnerProcess")))
                      : nullptr;
        return fn ? fn(ProcMgrSvcNode::kNodeName) : 0;
    }
    table::PlatformSetting Platform() override {
        Win32SettingsSource source;
        return table::ReadPlatformSetting(source);
    }
    void UsePlatform(table::PlatformChoice choice) override { table::SetPlatformChoice(choice); }
};

} // namespace
} // namespace pm

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    pm::Win32StartupEnv env;
    pm::InstallProcessList();
    return pm::RunQuorlent(env, pm::ProcessTraceLog());
}
