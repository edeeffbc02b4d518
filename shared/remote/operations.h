// The command codes the remote path knows, per node, and the operations of the codes that carry
// several (the monitor commands). The subject of a request names the operation, so that a
// server's subject permissions can tell a list from an add. Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pm::remote {

constexpr const char* kAgentNode = "ProcMgr";
constexpr const char* kHostNode = "KAVMonitorClientNC";

// Where a code keeps the monitor command buffer whose first u32 names the operation.
enum class OperationSource {
    kNone,          // one operation: the subject has four tokens
    kParam0,        // parameter 0 is the command buffer (0x73124536)
    kWrappedParam1, // parameter 1 wraps it at offset 25 (0x10D, as quorlent forwards it)
    kParam1,        // parameter 1 is the command buffer (0x504D4803, after the owner id)
};

struct CodeInfo {
    const char* node;
    uint32_t code;
    const char* what; // for people: "Get Updates on Active Processes"
    bool changes;     // changes something on the machine (never repeated automatically)
    OperationSource source;
};

// Every documented code of the agent and the monitor host.
const std::vector<CodeInfo>& KnownCodes();
// Null when the node does not document the code.
const CodeInfo* FindCode(const std::string& node, uint32_t code);

// The name of a monitor command ("list", "add", "delete", "replace", "update", "replace-all",
// "pids"), empty for an unknown monitor code.
std::string MonitorOperationName(uint32_t monitor_code);
// True for the monitor operations that change the monitors.
bool MonitorOperationChanges(const std::string& operation);

// The operation of a request from its parameters (as the console builds them): true with an
// empty `operation` for a code with one operation (or one not documented), true with the name for
// a code that carries several, false when such a code's parameters name no known operation.
bool OperationOf(const std::string& node, uint32_t code, const std::vector<std::string>& params,
                 std::string& operation);

// The same read from a whole request message (the payload on the wire); false also when the
// bytes are no message a node could read or no request.
bool OperationOfPayload(const std::string& node, const uint8_t* payload, size_t size,
                        std::string& operation);

// The subject a console sends a request to.
std::string SubjectForRequest(const std::string& machine, const std::string& node, uint32_t code,
                              const std::string& operation);

// True when a request of this code (and operation) changes something: such requests are never
// repeated after a lost connection.
bool RequestChanges(const std::string& node, uint32_t code, const std::string& operation);

} // namespace pm::remote
