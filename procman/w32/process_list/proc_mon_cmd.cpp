// Portable: the forwarded monitor command.
#include "procman/w32/process_list/proc_mon_cmd.h"

#include <string>

#include "shared/monitor/forwarded_command.h"
#include "shared/node/trace_log.h"

namespace pm {
namespace {

// Set while ForwardToMonitor is inside SendCommand on this thread: a completion then comes
// from a refused send, before the handler has returned, and the node must answer the console
// itself instead of a reply being sent (and the command freed) under the handler's feet.
thread_local bool t_sending = false;

} // namespace

ProcMonCmd::ProcMonCmd(Command* console_cmd, ServiceNode* node)
    : Command(monitor::kCmdForwardedMonitor), console_cmd_(console_cmd), node_(node) {}

ProcMonCmd::~ProcMonCmd() {
    if (!completed_) delete console_cmd_;
}

void ProcMonCmd::OnComplete() {
    completed_ = true;
    Command* console = console_cmd_;
    console->status = status;
    // A copy that cannot be made must not read as success with no item.
    if (GetResultSize(0) > 0 && !console->AddResult(GetResult(0), GetResultSize(0)))
        console->status = kStatusReplyNotCopied;
    if (t_sending) {
        // Refused while the handler still runs: let the node reply when it returns.
        console->flags &= ~Command::kFlagDeferredReply;
        return;
    }
    node_->SendReply(console);
}

void ForwardToMonitor(ServiceNode& node, Command& console) {
    auto* cmd = new (std::nothrow) ProcMonCmd(&console, &node);
    if (!cmd) {
        console.status = static_cast<int32_t>(0xFFFF0000u);
        return;
    }
    Trace("--ProcMonCmd::ProcMonCmd(): Creating Process Monitor Command\n");
    const std::string p0 = monitor::ForwardedPluginParam();
    const std::string p1 = monitor::ForwardedDataParam(
        {reinterpret_cast<const char*>(console.GetParam(0)), console.GetParamSize(0)});
    cmd->AddParam(p0.data(), uint32_t(p0.size()));
    cmd->AddParam(p1.data(), uint32_t(p1.size()));
    cmd->SetTargetAddr(kMonitorHostNode);
    console.flags |= Command::kFlagDeferredReply;
    t_sending = true;
    node.SendCommand(cmd, Send::kNoWait | Send::kDeleteWhenDone);
    t_sending = false;
}

} // namespace pm
