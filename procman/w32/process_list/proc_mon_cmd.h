// Forwarding a console's monitor command to the monitor host's node: the request carries the
// plug-in's name and monitor id, and the console's parameter 0 wrapped for the plug-in (the
// layout in shared/monitor/forwarded_command.h). Portable.
#pragma once

#include <cstdint>

#include "shared/node/command.h"
#include "shared/node/service_node.h"

namespace pm {

constexpr const char* kMonitorHostNode = "KAVMonitorClientNC";

class ProcMonCmd : public Command {
public:
    // console_cmd is not owned; it is answered through node.SendReply on completion.
    ProcMonCmd(Command* console_cmd, ServiceNode* node);
    // Frees the console's command when it was never answered (the node went first).
    ~ProcMonCmd() override;
    void OnComplete() override;

private:
    Command* console_cmd_;
    ServiceNode* node_;
    bool completed_ = false;
};

// The handler of the console's monitor command: sends the forwarded request asynchronously;
// the console's reply leaves when the host answers, the request times out, or sending fails.
void ForwardToMonitor(ServiceNode& node, Command& console);

} // namespace pm
