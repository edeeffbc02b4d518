// The service node of quorlent, "ProcMgr": routes each console command by its code through one
// table of (code, trace line, handler). Portable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/node/service_node.h"

namespace pm {

// The console's command codes.
constexpr uint32_t kCmdGetConfiguration = 0x73124532;
constexpr uint32_t kCmdGetUpdates = 0x73124533;
constexpr uint32_t kCmdSignalProcess = 0x73124534;
constexpr uint32_t kCmdExecuteCommand = 0x73124535;
constexpr uint32_t kCmdForwardToMonitor = 0x73124536;
constexpr uint32_t kCmdOsSpecific = 0x73124545;

// Status 1: a code not handled, too few or bad parameters.
constexpr int32_t kStatusInvalidCommand = 1;

// A handler leaves its answer in the command's status and reply items; one that keeps the
// command sets its deferred-reply flag and ends it with the node's SendReply.
using CommandHandler = void (*)(ServiceNode& node, Command& command);

struct CommandRoute {
    uint32_t code;
    const char* trace;      // written after the common line
    CommandHandler handler; // null: answered with status 1 (its handler is not built yet)
};

// The routing table, in code order.
const CommandRoute* CommandRoutes(size_t& count);
// The route of a code, or null for a code not in the table.
const CommandRoute* FindCommandRoute(uint32_t code);

// Refreshes the process list: run by the pulse and once at start-up. Null until the process
// list is there; then nothing is checked.
using CheckForUpdatesHook = void (*)();
void SetCheckForUpdatesHook(CheckForUpdatesHook hook);
void RunCheckForUpdates();

class ProcMgrSvcNode final : public ServiceNode {
public:
    static constexpr const char* kNodeName = "ProcMgr";

    // Registers once it is complete, and unregisters before any part of it goes.
    ProcMgrSvcNode(MessagingLibrary& library, NodePlatform& platform)
        : ServiceNode(kNodeName, 0, library, platform, Registration::kLater) {
        Register();
    }
    ~ProcMgrSvcNode() override { Unregister(); }

    int CommandReceived(Command& command) override;
    int Pulse() override;
};

// The process's one node, through which deferred replies are sent; null while there is none.
ProcMgrSvcNode* ProcessNode();
void SetProcessNode(ProcMgrSvcNode* node);

} // namespace pm
