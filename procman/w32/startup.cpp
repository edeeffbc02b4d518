// Portable: the start-up order. No OS code here.
#include "procman/w32/startup.h"

namespace pm {

int RunQuorlent(StartupEnv& env, TraceLog& log) {
    const std::string dir = env.LogDirectory();
    if (env.FileExists(dir + kTraceMarkerName)) {
        FILE* file = env.OpenLog(dir + kTraceFileName);
        log.Enable(file);
        log.Write("Start logging\n");
    }

    // Windows 95/98 would end the program at the user's log-off otherwise.
    env.RegisterServiceProcess();

    ProcMgrSvcNode* node = env.CreateNode();
    SetProcessNode(node);
    if (!node || !node->IsRegistered()) {
        // The process ends here; the node stays as it is.
        env.Puts("Error creating service node!");
        return 1;
    }

    log.Write("...About to call initial CheckForUpdates\n");
    RunCheckForUpdates();
    log.Write("Process Management Service Node Initialized\n");

    node->Run();

    SetProcessNode(nullptr);
    env.DestroyNode(node);
    log.Write("End logging\n");
    log.Close();
    return 0;
}

} // namespace pm
