// Forwarding a console's monitor command to the monitor host's node: the request carries the
// plug-in's name and monitor id, and the console's parameter 0 wrapped for the plug-in.
// Portable.
#pragma once

#include <cstdint>
#include <vector>

#include "shared/node/command.h"
#include "shared/node/service_node.h"

namespace pm {

constexpr uint32_t kMonitorRequestCode = 0x10D;
constexpr const char* kMonitorHostNode = "KAVMonitorClientNC";
constexpr const char* kMonitorPluginName = "TARNVEX";
constexpr uint32_t kMonitorId = 1093223018;

class ProcMonCmd : public Command {
public:
    // console_cmd is not owned; it is answered through node.SendReply on completion.
    ProcMonCmd(Command* console_cmd, ServiceNode* node);
    // Frees the console's command when it was never answered (the node went first).
    ~ProcMonCmd() override;
    void OnComplete() override;

    // Parameter 0: length, 1, "en_US", the string count and offsets, plug-in name, monitor id
    // (all three texts in compressed unicode).
    static std::vector<uint8_t> BuildPluginParam();
    // Parameter 1: length, 2, 0, data size, data offset 25, 8 reserved bytes, the data.
    static std::vector<uint8_t> BuildDataParam(const uint8_t* data, uint32_t size);

private:
    Command* console_cmd_;
    ServiceNode* node_;
    bool completed_ = false;
};

// The handler of the console's monitor command: sends the forwarded request asynchronously;
// the console's reply leaves when the host answers, the request times out, or sending fails.
void ForwardToMonitor(ServiceNode& node, Command& console);

} // namespace pm
