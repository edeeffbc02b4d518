// Codes and operations of the remote path. Portable: no OS code here.
#include "shared/remote/operations.h"

#include "shared/base/endian.h"
#include "shared/monitor/command_buffer.h"
#include "shared/monitor/forwarded_command.h"
#include "shared/node/message_layout.h"
#include "shared/remote/subjects.h"

namespace pm::remote {
namespace {

struct MonitorOp {
    uint32_t code;
    const char* name;
    bool changes;
};

constexpr MonitorOp kMonitorOps[] = {
    {monitor::kCmdListAll, "list", false},    {monitor::kCmdListAll2, "list", false},
    {monitor::kCmdListPids, "pids", false},   {monitor::kCmdDelete, "delete", true},
    {monitor::kCmdAdd, "add", true},          {monitor::kCmdReplace, "replace", true},
    {monitor::kCmdUpdateAll, "update", true}, {monitor::kCmdReplaceAll, "replace-all", true},
};

// The command buffer's first u32, where the code keeps it; false when it is not there.
bool MonitorCode(OperationSource source, const std::vector<std::string>& params, uint32_t& out) {
    const std::string* buffer = nullptr;
    switch (source) {
    case OperationSource::kNone:
        return false;
    case OperationSource::kParam0:
        if (params.empty()) return false;
        buffer = &params[0];
        break;
    case OperationSource::kWrappedParam1: {
        // The command buffer inside quorlent's wrapping.
        std::string_view data;
        if (params.size() < 2 || !monitor::ForwardedData(params[1], &data) || data.size() < 4)
            return false;
        out = le::Load32(data.data());
        return true;
    }
    case OperationSource::kParam1:
        if (params.size() < 2) return false;
        buffer = &params[1];
        break;
    }
    if (buffer->size() < 4) return false;
    out = le::Load32(buffer->data());
    return true;
}

} // namespace

const std::vector<CodeInfo>& KnownCodes() {
    static const std::vector<CodeInfo> codes = {
        {kAgentNode, 0x73124532, "Get Configuration", false, OperationSource::kNone},
        {kAgentNode, 0x73124533, "Get Updates on Active Processes", false, OperationSource::kNone},
        {kAgentNode, 0x73124534, "Signal a Process", true, OperationSource::kNone},
        {kAgentNode, 0x73124535, "Execute Command", true, OperationSource::kNone},
        {kAgentNode, 0x73124536, "Process Monitor Command", false, OperationSource::kParam0},
        {kAgentNode, 0x73124545, "Operating System Specific Command", true, OperationSource::kNone},
        {kHostNode, 0x504D4801, "List Alerts", false, OperationSource::kNone},
        {kHostNode, 0x504D4802, "Host Status", false, OperationSource::kNone},
        {kHostNode, 0x0000010D, "Forwarded Monitor Command", false,
         OperationSource::kWrappedParam1},
        {kHostNode, 0x504D4803, "Monitor Command with Owner", false, OperationSource::kParam1},
        {kHostNode, 0x504D4804, "Statistics", false, OperationSource::kNone},
    };
    return codes;
}

const CodeInfo* FindCode(const std::string& node, uint32_t code) {
    for (const CodeInfo& c : KnownCodes())
        if (c.code == code && node == c.node) return &c;
    return nullptr;
}

std::string MonitorOperationName(uint32_t monitor_code) {
    for (const MonitorOp& op : kMonitorOps)
        if (op.code == monitor_code) return op.name;
    return std::string();
}

bool MonitorOperationChanges(const std::string& operation) {
    for (const MonitorOp& op : kMonitorOps)
        if (operation == op.name) return op.changes;
    return false;
}

bool OperationOf(const std::string& node, uint32_t code, const std::vector<std::string>& params,
                 std::string& operation) {
    operation.clear();
    const CodeInfo* info = FindCode(node, code);
    if (info == nullptr || info->source == OperationSource::kNone) return true;
    uint32_t monitor_code = 0;
    if (!MonitorCode(info->source, params, monitor_code)) return false;
    operation = MonitorOperationName(monitor_code);
    return !operation.empty();
}

bool OperationOfPayload(const std::string& node, const uint8_t* payload, size_t size,
                        std::string& operation) {
    operation.clear();
    msg::MessageView v;
    if (payload == nullptr ||
        msg::CheckHeader(payload, size, msg::AddresseeRule::kAnyString, &v) !=
            msg::HeaderCheck::kOk ||
        v.msg_len != size || v.type != msg::kTypeRequest)
        return false;
    std::vector<std::string> params;
    const uint8_t* at = v.data;
    for (uint16_t i = 0; i < v.item_count; ++i) {
        const uint32_t n = v.ItemSize(i);
        params.emplace_back(reinterpret_cast<const char*>(at), n);
        at += n;
    }
    return OperationOf(node, v.value, params, operation);
}

std::string SubjectForRequest(const std::string& machine, const std::string& node, uint32_t code,
                              const std::string& operation) {
    return RequestSubject(machine, node, code, operation);
}

bool RequestChanges(const std::string& node, uint32_t code, const std::string& operation) {
    const CodeInfo* info = FindCode(node, code);
    if (info == nullptr) return true; // unknown: assume the worst
    if (info->source != OperationSource::kNone) return MonitorOperationChanges(operation);
    return info->changes;
}

} // namespace pm::remote
