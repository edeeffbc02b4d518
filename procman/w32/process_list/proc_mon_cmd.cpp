// Portable: the forwarded monitor command.
#include "procman/w32/process_list/proc_mon_cmd.h"

#include <cstdio>
#include <cstring>

#include "shared/base/endian.h"
#include "shared/node/trace_log.h"
#include "shared/text/text_string.h"

namespace pm {
namespace {

// Set while ForwardToMonitor is inside SendCommand on this thread: a completion then comes
// from a refused send, before the handler has returned, and the node must answer the console
// itself instead of a reply being sent (and the command freed) under the handler's feet.
thread_local bool t_sending = false;

std::string Compressed(const char* ansi) {
    TextString s(ansi);
    s.ToCompressedUnicode();
    return s.CStr();
}

} // namespace

ProcMonCmd::ProcMonCmd(Command* console_cmd, ServiceNode* node)
    : Command(kMonitorRequestCode), console_cmd_(console_cmd), node_(node) {}

std::vector<uint8_t> ProcMonCmd::BuildPluginParam() {
    char id[16];
    std::snprintf(id, sizeof id, "%010lu", static_cast<unsigned long>(kMonitorId));
    const std::string locale = Compressed("en_US");
    const std::string plugin = Compressed(kMonitorPluginName);
    const std::string monitor = Compressed(id);
    const uint32_t length = 25 + uint32_t(plugin.size()) + uint32_t(monitor.size());
    std::vector<uint8_t> b(length, 0);
    le::Store32(&b[0], length);
    b[4] = 1;
    std::memcpy(&b[5], locale.c_str(), locale.size() < 5 ? locale.size() : 5);
    le::Store32(&b[11], 2);
    le::Store32(&b[15], 23);
    le::Store32(&b[19], 24 + uint32_t(plugin.size()));
    std::memcpy(&b[23], plugin.data(), plugin.size());
    std::memcpy(&b[24 + plugin.size()], monitor.data(), monitor.size());
    return b;
}

std::vector<uint8_t> ProcMonCmd::BuildDataParam(const uint8_t* data, uint32_t size) {
    std::vector<uint8_t> b(25 + size_t(size), 0);
    le::Store32(&b[0], 25 + size);
    b[4] = 2;
    le::Store32(&b[9], size);
    le::Store32(&b[13], 25);
    if (size) std::memcpy(&b[25], data, size);
    return b;
}

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
    std::vector<uint8_t> p0 = ProcMonCmd::BuildPluginParam();
    std::vector<uint8_t> p1 =
        ProcMonCmd::BuildDataParam(console.GetParam(0), console.GetParamSize(0));
    cmd->AddParam(p0.data(), uint32_t(p0.size()));
    cmd->AddParam(p1.data(), uint32_t(p1.size()));
    cmd->SetTargetAddr(kMonitorHostNode);
    console.flags |= Command::kFlagDeferredReply;
    t_sending = true;
    node.SendCommand(cmd, Send::kNoWait | Send::kDeleteWhenDone);
    t_sending = false;
}

} // namespace pm
