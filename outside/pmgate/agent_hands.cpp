// Portable: a real machine's hands for its policies.
#include "outside/pmgate/agent_hands.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "outside/console_model/console_tables.h"
#include "shared/base/endian.h"
#include "shared/monitor/command_buffer.h"
#include "shared/monitor/monitor_record.h"
#include "shared/node/service_node.h"
#include "shared/remote/agent_answers.h"
#include "shared/remote/operations.h"
#include "shared/text/text_string.h"

namespace pm::gate {
namespace {

constexpr uint32_t kGetUpdates = 0x73124533;
constexpr uint32_t kSignalProcess = 0x73124534;
constexpr uint32_t kForwardMonitorCommand = 0x73124536;
constexpr uint32_t kOsSpecific = 0x73124545;
constexpr uint32_t kServiceControl = 0x100;
constexpr uint32_t kProcessTab = 1, kKillSignal = 5;
// The services' group in the agent's tables (the drivers are group 3).
constexpr uint32_t kWin32Services = 2;
// The agent's own wait for the monitor host is 15 s; the agent answers the rest at once.
constexpr uint32_t kRequestTimeoutMs = 20000;

std::string U32(uint32_t v) {
    std::string s(4, '\0');
    le::Store32(reinterpret_cast<uint8_t*>(&s[0]), v);
    return s;
}

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string Utf8(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.CompressedToUtf8();
    return s.CStr();
}

// Compressed unicode with its terminating zero; empty when the text cannot be converted.
std::string Compressed(const std::string& utf8) {
    TextString s(utf8.c_str());
    if (s.Utf8ToCompressed() == 0) return {};
    return std::string(s.CStr()) + '\0';
}

remote::ServiceSeen StateOf(uint32_t win32_state) {
    switch (win32_state) {
    case 1:
        return remote::ServiceSeen::kStopped;
    case 4:
        return remote::ServiceSeen::kRunning;
    case 7:
        return remote::ServiceSeen::kPaused;
    default:
        return remote::ServiceSeen::kChanging; // start, stop, continue or pause pending
    }
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace

AgentHands::AgentHands(LocalNode& node, remote::GateRules rules, ServiceNames names,
                       uint32_t wait_ms)
    : node_(node), rules_(std::move(rules)), names_(std::move(names)), wait_ms_(wait_ms) {}

PolicyHands AgentHands::Hands() {
    PolicyHands h;
    h.observe = [this](remote::Seen& seen) { return Observe(seen); };
    h.act = [this](const remote::Action& a) { return Act(a); };
    return h;
}

AgentHands::Answer AgentHands::Ask(const std::string& node, uint32_t code,
                                   const std::vector<std::string>& params) {
    Answer out;
    if (!remote::Forwards(rules_, node, code)) {
        out.error = "the gate's rules do not let " + Hex(code) + " through to " + node;
        return out;
    }
    // The completion may come after this wait gave up: it fills what both share.
    struct Shared {
        std::mutex lock;
        std::condition_variable done_cv;
        bool done = false;
        Answer answer;
    };
    auto shared = std::make_shared<Shared>();
    {
        std::lock_guard<std::mutex> hold(cancel_lock_);
        if (cancelled_) {
            out.error = "the gate is stopping";
            return out;
        }
        waiting_ = shared;
        wake_waiting_ = [raw = shared.get()] {
            std::lock_guard<std::mutex> hold(raw->lock);
            raw->done_cv.notify_all();
        };
    }
    auto request = std::make_unique<NodeRequest>([shared, node](NodeRequest& c) {
        Answer a;
        if (c.GetResultCount() == 0 && c.status == kStatusNotSent)
            a.error = node + " is not running";
        else if (c.GetResultCount() == 0 && c.status == kStatusTimedOut)
            a.error = node + " did not answer in time";
        a.status = c.status;
        for (size_t i = 0; i < c.GetResultCount(); ++i)
            a.items.emplace_back(reinterpret_cast<const char*>(c.GetResult(i)), c.GetResultSize(i));
        std::lock_guard<std::mutex> hold(shared->lock);
        shared->answer = std::move(a);
        shared->done = true;
        shared->done_cv.notify_all();
    });
    request->cmd_code = code;
    for (const std::string& p : params)
        if (!request->AddParam(p.data(), static_cast<uint32_t>(p.size()))) {
            out.error = "out of memory";
            return out;
        }
    request->SetTargetAddr(node.c_str());
    request->timeout_ms = kRequestTimeoutMs;
    node_.Send(std::move(request));
    std::unique_lock<std::mutex> hold(shared->lock);
    const bool done = shared->done_cv.wait_for(hold, std::chrono::milliseconds(wait_ms_), [&] {
        std::lock_guard<std::mutex> c(cancel_lock_);
        return shared->done || cancelled_;
    }) && shared->done;
    {
        std::lock_guard<std::mutex> c(cancel_lock_);
        waiting_.reset();
        wake_waiting_ = nullptr;
    }
    if (!done) {
        out.error = node + " did not answer in time";
        return out;
    }
    return std::move(shared->answer);
}

void AgentHands::Cancel() {
    std::function<void()> wake;
    std::shared_ptr<void> keep;
    {
        std::lock_guard<std::mutex> hold(cancel_lock_);
        cancelled_ = true;
        wake = wake_waiting_;
        keep = waiting_;
    }
    if (wake) wake();
}

AgentHands::Answer AgentHands::Monitor(const std::string& command) {
    Answer a = Ask(remote::kAgentNode, kForwardMonitorCommand, {command});
    // The agent's own statuses for a host it could not reach.
    if (a.error.empty() && a.status == kStatusNotSent) a.error = "the monitor host is not running";
    if (a.error.empty() && a.status == kStatusTimedOut)
        a.error = "the monitor host did not answer in time";
    return a;
}

bool AgentHands::Observe(remote::Seen& seen) {
    // The whole tables each round (clock 0): a copy kept between rounds would keep services
    // that are gone (the agent reports no vanished service) and miss every entry older than
    // its clock after the agent restarted. The bytes travel on this machine only.
    console::ConsoleTables tables(&Utf8);
    Answer a = Ask(remote::kAgentNode, kGetUpdates, {U32(0)});
    if (a.error.empty() && a.status != 0) a.error = "the agent answered " + Hex(a.status);
    std::string error;
    if (a.error.empty() && !tables.Apply(a.items, &error))
        a.error = "the agent's tables are malformed: " + error;
    if (!a.error.empty()) {
        observe_error_ = a.error;
        return false;
    }
    Answer m = Monitor(U32(monitor::kCmdListAll));
    std::vector<monitor::MonitorDef> defs;
    if (m.error.empty() && m.status != 0) m.error = "the monitor host answered " + Hex(m.status);
    if (m.error.empty() &&
        (m.items.empty() || !monitor::DecodeRecordList(m.items[0], &Utf8, &defs)))
        m.error = "the monitor list is malformed";
    if (!m.error.empty()) {
        observe_error_ = m.error;
        return false;
    }
    std::vector<ServiceName> names;
    if (names_ && !names_(names)) names.clear(); // key names unknown: display names still match
    for (const console::ProcessRow& p : tables.Processes())
        seen.processes.push_back({p.process_id, p.name});
    for (const console::ServiceRow& s : tables.Services(kWin32Services)) {
        remote::SeenService row;
        row.name = s.name;
        row.state = StateOf(s.state);
        for (const ServiceName& n : names)
            if (Lower(n.display_name) == Lower(s.name)) row.key_name = n.key_name;
        seen.services.push_back(std::move(row));
    }
    monitors_.clear();
    for (const monitor::MonitorDef& d : defs)
        monitors_.push_back({d.key, d.name, d.conditions, d.start_timeout, d.level});
    seen.monitors = monitors_;
    observe_error_.clear();
    return true;
}

std::string AgentHands::Act(const remote::Action& a) {
    using K = remote::ActionKind;
    switch (a.kind) {
    case K::kServiceStart:
    case K::kServiceStop:
    case K::kServicePause:
    case K::kServiceContinue: {
        const uint32_t op = a.kind == K::kServiceStart   ? 1
                            : a.kind == K::kServiceStop  ? 2
                            : a.kind == K::kServicePause ? 3
                                                         : 4;
        const std::string name = Compressed(a.name);
        if (name.empty()) return "the name cannot be converted";
        const Answer r =
            Ask(remote::kAgentNode, kOsSpecific, {U32(kServiceControl), name, U32(op)});
        if (!r.error.empty()) return r.error;
        if (r.status == 0) return "";
        std::string words = remote::ServiceStatusText(static_cast<uint32_t>(r.status));
        if (!r.items.empty() && r.items[0].size() >= 4)
            words +=
                " (system error " +
                std::to_string(le::Load32(reinterpret_cast<const uint8_t*>(r.items[0].data()))) +
                ")";
        return words;
    }
    case K::kKill: {
        const Answer r = Ask(remote::kAgentNode, kSignalProcess,
                             {U32(kProcessTab), U32(kKillSignal), U32(a.pid)});
        if (!r.error.empty()) return r.error;
        return r.status == 0 ? "" : remote::SignalResultText(static_cast<uint32_t>(r.status));
    }
    case K::kMonitorAdd:
    case K::kMonitorReplace: {
        std::string name = Compressed(a.name);
        if (name.empty()) return "the name cannot be converted";
        name.pop_back(); // the record adds its own zero
        const std::vector<uint8_t> record = monitor::MakeRecord(
            a.key, a.monitor.level, a.monitor.conditions, a.monitor.start_timeout, name);
        if (record.empty()) return "the name does not fit a monitor record";
        const uint32_t code = a.kind == K::kMonitorAdd ? monitor::kCmdAdd : monitor::kCmdReplace;
        const Answer r = Monitor(U32(code) + std::string(record.begin(), record.end()));
        if (!r.error.empty()) return r.error;
        if (r.status != 0) return "the monitor plug-in refused it (" + Hex(r.status) + ")";
        return "";
    }
    case K::kMonitorDelete: {
        // The plug-in deletes the first monitor of a name: only when that one is the policy's.
        for (const remote::SeenMonitor& m : monitors_)
            if (Lower(m.exe) == Lower(a.name)) {
                if (m.key != a.key)
                    return "a monitor of that name with key " + std::to_string(m.key) +
                           " comes first";
                break;
            }
        const std::string name = Compressed(a.name);
        if (name.empty()) return "the name cannot be converted";
        const Answer r =
            Monitor(U32(monitor::kCmdDelete) + U32(static_cast<uint32_t>(name.size())) + name);
        if (!r.error.empty()) return r.error;
        if (r.status != 0) return "the monitor plug-in refused it (" + Hex(r.status) + ")";
        return "";
    }
    }
    return "unknown action";
}

} // namespace pm::gate
