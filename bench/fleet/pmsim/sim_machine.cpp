// Portable: a simulated machine over the agent's own process list.
#include "bench/fleet/pmsim/sim_machine.h"

#include <cstdlib>
#include <cstring>

#include "procman/w32/baseinfo/base_info_records.h"
#include "shared/node/command.h"
#include "shared/remote/operations.h"
#include "shared/remote/subjects.h"
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

class HeapMemory final : public MessageMemory {
public:
    void* Allocate(uint32_t size) override { return std::malloc(size ? size : 1); }
    void Free(void* m) override { std::free(m); }
};

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
    rules_.nodes = {remote::kAgentNode, remote::kHostNode};
    for (const remote::CodeInfo& c : remote::KnownCodes())
        rules_.allow.push_back(c.code);
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

SimMachine::Answer SimMachine::Handle(const std::string& subject, const std::string& payload) {
    Answer a;
    remote::Subject s;
    if (!remote::ParseSubject(subject, s) || s.machine != spec_.name) return a;
    const remote::RequestCheck check = remote::CheckRequest(
        s, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), rules_);
    a.status = check.status;
    if (check.status != remote::GateStatus::kReply) return a;
    Command command(0);
    if (!command.ParseRequest(check.view)) {
        a.status = remote::GateStatus::kMalformed;
        return a;
    }
    if (s.node != remote::kAgentNode) {
        a.status = remote::GateStatus::kNodeNotRunning; // no monitor host here
        return a;
    }
    switch (command.cmd_code) {
    case 0x73124533:
        list_->GetProcessUpdates(command);
        break;
    case 0x73124532:
        list_->GetProcessBaseInfo(command);
        break;
    default:
        a.status = remote::GateStatus::kNotForwarded; // a simulated machine changes nothing
        return a;
    }
    HeapMemory memory;
    const std::string sender = check.view.sender; // NUL-terminated in the checked view
    void* reply =
        command.PackResultsAsReply(memory, check.view.tag, s.node.c_str(), sender.c_str(),
                                   static_cast<uint32_t>(command.status), check.view.seq_no);
    if (reply == nullptr) {
        a.status = remote::GateStatus::kNoReply;
        return a;
    }
    a.reply.assign(static_cast<const char*>(reply), msg::DeclaredLength(reply));
    memory.Free(reply);
    return a;
}

remote::Presence SimMachine::Presence(const std::string& kind, uint64_t uptime_s,
                                      uint32_t heartbeat_s) const {
    remote::Presence p;
    p.kind = kind;
    p.machine = spec_.name;
    p.gate_version = "sim";
    p.agent_running = true;
    p.host_running = false;
    p.agent_version = "sim";
    p.uptime_s = uptime_s;
    p.heartbeat_s = heartbeat_s;
    return p;
}

} // namespace pm::sim
