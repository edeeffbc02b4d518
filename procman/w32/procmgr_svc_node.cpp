// Portable: the console's command routing. No OS code here.
#include "procman/w32/procmgr_svc_node.h"

#include <atomic>

#include "procman/w32/process_list/command_handlers.h"
#include "shared/node/trace_log.h"

namespace pm {

namespace {

// Codes whose handler is not built yet answer status 1.
const CommandRoute kRoutes[] = {
    {kCmdGetConfiguration, "--CommandReceived: Get Configuration for Process Management Task\n",
     &HandleGetConfiguration},
    {kCmdGetUpdates, "--CommandReceived: Get Updates on Active Processes\n", &HandleGetUpdates},
    {kCmdSignalProcess, "--CommandReceived: Signal a Process\n", &HandleSignalProcess},
    {kCmdExecuteCommand, "--CommandReceived: Execute Command\n", &HandleExecuteCommand},
    {kCmdForwardToMonitor, "--CommandReceived: Forwarding Command to Process Monitor Service\n",
     &HandleForwardToMonitor},
    {kCmdOsSpecific, "--CommandReceived: Operating System Specific Command\n",
     &HandleOsSpecificCommand},
};

std::atomic<CheckForUpdatesHook> g_check_hook{nullptr};
std::atomic<ProcMgrSvcNode*> g_node{nullptr};

} // namespace

const CommandRoute* CommandRoutes(size_t& count) {
    count = sizeof(kRoutes) / sizeof(kRoutes[0]);
    return kRoutes;
}

const CommandRoute* FindCommandRoute(uint32_t code) {
    for (const CommandRoute& r : kRoutes)
        if (r.code == code) return &r;
    return nullptr;
}

void SetCheckForUpdatesHook(CheckForUpdatesHook hook) {
    g_check_hook.store(hook);
}

void RunCheckForUpdates() {
    if (CheckForUpdatesHook hook = g_check_hook.load()) hook();
}

int ProcMgrSvcNode::CommandReceived(Command& command) {
    const char* from = command.GetReturnAddr();
    Trace("--ProcMgrSvcNode: Command %d received from %s\n", static_cast<int>(command.cmd_code),
          from ? from : "(null)");
    const CommandRoute* route = FindCommandRoute(command.cmd_code);
    if (route) Trace("%s", route->trace);
    if (route && route->handler)
        route->handler(*this, command);
    else
        command.status = kStatusInvalidCommand;
    return 1;
}

int ProcMgrSvcNode::Pulse() {
    RunCheckForUpdates();
    return 1;
}

ProcMgrSvcNode* ProcessNode() {
    return g_node.load();
}
void SetProcessNode(ProcMgrSvcNode* node) {
    g_node.store(node);
}

} // namespace pm
