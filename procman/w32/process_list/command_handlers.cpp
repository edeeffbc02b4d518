// Portable: the handlers behind the node's routing table.
#include "procman/w32/process_list/command_handlers.h"

#include "procman/w32/process_list/proc_mon_cmd.h"
#include "procman/w32/process_list/process_list.h"

namespace pm {

void HandleGetUpdates(ServiceNode&, Command& command) {
    ProcessList* list = TheProcessList();
    if (!list) {
        command.status = 1;
        return;
    }
    list->GetProcessUpdates(command);
}

void HandleGetConfiguration(ServiceNode&, Command& command) {
    if (ProcessList* list = TheProcessList())
        list->GetProcessBaseInfo(command);
    else
        command.status = 1;
}

void HandleSignalProcess(ServiceNode&, Command& command) {
    if (ProcessList* list = TheProcessList())
        list->KillProcess(command);
    else
        command.status = 1;
}

void HandleOsSpecificCommand(ServiceNode&, Command& command) {
    if (ProcessList* list = TheProcessList())
        list->OsSpecificCommand(command);
    else
        command.status = 1;
}

void HandleExecuteCommand(ServiceNode&, Command& command) {
    if (ProcessList* list = TheProcessList())
        list->ExecuteCommand(command);
    else
        command.status = 1;
}

void HandleForwardToMonitor(ServiceNode& node, Command& command) {
    ForwardToMonitor(node, command);
}

} // namespace pm
