// quorlent's start-up and shutdown sequence. Portable: the program's surroundings (settings,
// files, the node) come through StartupEnv, Win32 in quorlent_main_win.cpp, fakes in the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "procman/w32/procmgr_svc_node.h"
#include "procman/w32/table/platform_choice.h"
#include "shared/node/trace_log.h"

namespace pm {

constexpr const char* kTraceMarkerName = "quorlent.dbg";
constexpr const char* kTraceFileName = "quorlent.log";

class StartupEnv {
public:
    virtual ~StartupEnv() = default;
    // The log directory from the command line and installation settings; ends in a backslash.
    virtual std::string LogDirectory() = 0;
    // _access(path, 0) == 0.
    virtual bool FileExists(const std::string& path) = 0;
    // fopen(path, "a+"); null on failure.
    virtual FILE* OpenLog(const std::string& path) = 0;
    // RegisterServiceProcess(0, 1) when KERNEL32 exports it; at most once per process.
    virtual void RegisterServiceProcess() = 0;
    // Creates the "ProcMgr" node (binding the messaging library on the way).
    virtual ProcMgrSvcNode* CreateNode() = 0;
    virtual void DestroyNode(ProcMgrSvcNode* node) = 0;
    // puts().
    virtual void Puts(const char* text) = 0;
    // The id of the process that holds the node's name, where it can be told; 0 else.
    virtual uint32_t NodeOwner() { return 0; }
    // The "Platform" setting (absent by default) and where its choice takes effect.
    virtual table::PlatformSetting Platform() { return {}; }
    virtual void UsePlatform(table::PlatformChoice choice) { (void)choice; }
    // After the message loop, before the node and the log go: the running executions get a
    // bounded time to reply, and none touches either afterwards.
    virtual void EndExecutions() {}
};

// Runs the program from start-up to shutdown; answers the exit code: 0 after a normal end,
// 1 when the node could not be registered (then saying which process holds the name, when
// that is known).
int RunQuorlent(StartupEnv& env, TraceLog& log);

} // namespace pm
