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

void HandleForwardToMonitor(ServiceNode& node, Command& command) {
    ForwardToMonitor(node, command);
}

} // namespace pm
