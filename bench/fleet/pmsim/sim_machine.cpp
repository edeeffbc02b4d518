// Portable: a simulated machine over the agent's own process list.
#include "bench/fleet/pmsim/sim_machine.h"

#include <cstdlib>
#include <cstring>

#include "procman/w32/baseinfo/base_info_records.h"
#include "shared/node/service_node.h"
#include "shared/remote/gate_config.h"
#include "shared/remote/operations.h"
#include "shared/text/text_string.h"

namespace pm::sim {
namespace {

// Every machine runs these; the churn starts and ends the others.
const char* const kBase[] = {"System",       "smss.exe",     "csrss.exe",   "winlogon.exe",
                             "services.exe", "lsass.exe",    "svchost.exe", "spoolsv.exe",
                             "explorer.exe", "quorlent.exe", "pmhost.exe",  "pmgate.exe"};
const char* const kChurn[] = {"notepad.exe",  "cmd.exe",  "backup.exe", "report.exe",
                              "sqlservr.exe", "w3wp.exe", "java.exe",   "python.exe"};

// Recursive, as the agent's Win32 mutex: an update takes its snapshot under the lock it holds.
class StdMutex final : public Mutex {
public:
    bool Lock() override {
        m_.lock();
        return true;
    }
    void Unlock() override { m_.unlock(); }

private:
    std::recursive_mutex m_;
};

constexpr uint32_t kCmdGetConfiguration = 0x73124532;
constexpr uint32_t kCmdGetUpdates = 0x73124533;

TextString Compressed(const std::string& utf8) {
    TextString s(utf8.c_str());
    s.Utf8ToCompressed();
    return s;
}

} // namespace

StringTable ReadStringTable(const std::string& rc) {
    StringTable out;
    size_t at = rc.find("STRINGTABLE");
    const size_t end = rc.find("END", at);
    if (at == std::string::npos || end == std::string::npos) return out;
    while (at < end) {
        const size_t eol = rc.find('\n', at);
        const std::string line = rc.substr(at, (eol == std::string::npos ? rc.size() : eol) - at);
        at = eol == std::string::npos ? rc.size() : eol + 1;
        const size_t comma = line.find(',');
        const size_t q1 = line.find('"');
        const size_t q2 = line.rfind('"');
        if (comma == std::string::npos || q1 == std::string::npos || q2 <= q1) continue;
        const unsigned id = static_cast<unsigned>(std::strtoul(line.c_str(), nullptr, 10));
        if (id != 0) out.emplace_back(id, line.substr(q1 + 1, q2 - q1 - 1));
    }
    return out;
}

SimMachine::SimMachine(MachineSpec spec, std::shared_ptr<const StringTable> strings)
    : spec_(std::move(spec)), strings_(std::move(strings)), random_(spec_.seed) {
    const uint32_t base = static_cast<uint32_t>(sizeof kBase / sizeof kBase[0]);
    for (uint32_t i = 0; i < spec_.processes || i < base; ++i)
        pids_.push_back(i < base ? 4 * (i + 1) : next_pid_++);
    list_ = std::make_unique<ProcessList>(
        std::make_unique<StdMutex>(), [this] { return Snapshot(); }, [] { return true; });
    auto texts = strings_;
    list_->SetBaseInfoSource([texts] {
        const baseinfo::StringSource source = [texts](unsigned id) {
            for (const auto& [n, text] : *texts)
                if (n == id) return text;
            return std::string();
        };
        return baseinfo::GetProcessBaseInfo(false, {5, 1, baseinfo::kPlatformNt}, source, "en");
    });
    list_->CheckForUpdates();
}

std::unique_ptr<table::RawTable> SimMachine::Snapshot() {
    auto t = std::make_unique<table::RawTable>(false);
    std::lock_guard<std::mutex> hold(lock_);
    const size_t base = sizeof kBase / sizeof kBase[0];
    for (size_t i = 0; i < pids_.size(); ++i) {
        table::ProcessEntry e;
        e.process_id = pids_[i];
        e.parent_process_id = i == 0 ? 0 : 4;
        e.thread_count = static_cast<uint16_t>(1 + pids_[i] % 17);
        e.base_priority = 8;
        e.working_set = 1024u * (1 + pids_[i] % 300);
        // Machine n runs app<n % 5>.exe: `fleet ps --where` has something to find.
        const std::string name = i < base    ? kBase[i]
                                 : i == base ? "app" + std::to_string(spec_.seed % 5) + ".exe"
                                             : kChurn[pids_[i] % 8];
        e.name = Compressed(name);
        e.user_name = Compressed(i < 7 ? "SYSTEM" : "operator");
        t->MutableProcesses().push_back(std::move(e));
    }
    return t;
}

void SimMachine::Churn(uint32_t n) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        const size_t first = sizeof kBase / sizeof kBase[0] + 1; // the app stays
        for (uint32_t k = 0; k < n && pids_.size() > first; ++k) {
            const size_t i = first + random_() % (pids_.size() - first);
            pids_[i] = next_pid_;
            next_pid_ += 4;
        }
    }
    list_->CheckForUpdates();
}

gate::GateSettings SimMachine::GateSettings(uint32_t heartbeat_s) const {
    gate::GateSettings s;
    s.machine = spec_.name;
    s.gate_version = "sim";
    s.rules.nodes = {remote::kAgentNode, remote::kHostNode};
    s.rules.allow = {kCmdGetConfiguration, kCmdGetUpdates};
    for (const remote::CodeInfo& c : remote::KnownCodes())
        if (std::string(c.node) == remote::kHostNode) s.rules.allow.push_back(c.code);
    s.max_in_flight = remote::kDefaultMaxInFlight;
    s.heartbeat_s = heartbeat_s;
    // Every discovery answered: the fleet tests and benchmarks run console commands back to
    // back, and a gate's once a second would leave the second one without machines.
    s.discover_interval_ms = 0;
    return s;
}

bool SimMachine::Running(const std::string& node) const {
    return node == remote::kAgentNode;
}

std::string SimMachine::Version(const std::string& node) const {
    return node == remote::kAgentNode ? "sim" : std::string();
}

void SimMachine::Send(std::unique_ptr<gate::NodeRequest> request) {
    const char* target = request->GetTargetAddr();
    if (target == nullptr || std::string(target) != remote::kAgentNode) {
        request->status = kStatusNotSent; // no monitor host here
    } else if (request->cmd_code == kCmdGetUpdates) {
        list_->GetProcessUpdates(*request);
    } else if (request->cmd_code == kCmdGetConfiguration) {
        list_->GetProcessBaseInfo(*request);
    } else {
        request->status = kStatusNotSent; // the gate's rules let no other code through
    }
    request->OnComplete();
}

} // namespace pm::sim
