// The console's commands as the "ProcMgr" node routes them to the process list.
#pragma once

#include "shared/node/command.h"
#include "shared/node/service_node.h"

namespace pm {

// Get Updates on Active Processes; status 1 while there is no process list.
void HandleGetUpdates(ServiceNode& node, Command& command);
// Get Configuration for Process Management Task.
void HandleGetConfiguration(ServiceNode& node, Command& command);
// Signal a Process.
void HandleSignalProcess(ServiceNode& node, Command& command);
// Operating System Specific Command.
void HandleOsSpecificCommand(ServiceNode& node, Command& command);
// Execute Command; its reply is deferred to the execution thread.
void HandleExecuteCommand(ServiceNode& node, Command& command);
// A monitor command, forwarded to the monitor host's node; its reply is deferred.
void HandleForwardToMonitor(ServiceNode& node, Command& command);

} // namespace pm
