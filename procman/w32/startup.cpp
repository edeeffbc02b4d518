// Portable: the start-up order. No OS code here.
#include "procman/w32/startup.h"

#include <cstdio>

namespace pm {
namespace {

// Read once, before anything asks for the platform; an absent value is not traced, so that
// the run stays as it was without it.
void ApplyPlatformSetting(StartupEnv& env, TraceLog& log) {
    const table::PlatformSetting setting = env.Platform();
    if (!setting.present) return;
    if (setting.understood)
        log.Write("--Platform setting \"%s\": %s mode\n", setting.text.c_str(),
                  setting.choice == table::PlatformChoice::kNt ? "NT" : "Windows 95");
    else
        log.Write("!!Platform setting \"%s\" not understood (nt or 95): automatic test\n",
                  setting.text.c_str());
    env.UsePlatform(setting.choice);
}

} // namespace

int RunQuorlent(StartupEnv& env, TraceLog& log) {
    const std::string dir = env.LogDirectory();
    if (env.FileExists(dir + kTraceMarkerName)) {
        FILE* file = env.OpenLog(dir + kTraceFileName);
        log.Enable(file);
        log.Write("Start logging\n");
    }
    ApplyPlatformSetting(env, log);

    // Windows 95/98 would end the program at the user's log-off otherwise.
    env.RegisterServiceProcess();

    ProcMgrSvcNode* node = env.CreateNode();
    SetProcessNode(node);
    if (!node || !node->IsRegistered()) {
        // The process ends here; the node stays as it is.
        env.Puts("Error creating service node!");
        // Another process may have taken the name first: say which, so that it can be found.
        if (uint32_t owner = env.NodeOwner()) {
            char line[96];
            std::snprintf(line, sizeof line, "The name \"%s\" is held by process %lu.",
                          ProcMgrSvcNode::kNodeName, static_cast<unsigned long>(owner));
            env.Puts(line);
            log.Write("%s\n", line);
        }
        return 1;
    }

    log.Write("...About to call initial CheckForUpdates\n");
    RunCheckForUpdates();
    log.Write("Process Management Service Node Initialized\n");

    node->Run();
    env.EndExecutions();

    SetProcessNode(nullptr);
    env.DestroyNode(node);
    log.Write("End logging\n");
    log.Close();
    return 0;
}

} // namespace pm
