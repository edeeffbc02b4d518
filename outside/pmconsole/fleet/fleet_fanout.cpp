// Portable: one command to many machines.
#include "outside/pmconsole/fleet/fleet_fanout.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "outside/console_model/console_tables.h"
#include "outside/pmconsole/visible_text.h"
#include "shared/remote/statuses.h"
#include "shared/text/json_string.h"

namespace pm::console {
namespace {

constexpr uint32_t kGetUpdates = 0x73124533;

// Keeps a copy of the first request that no one took, when the machine took none before it.
class KeepingTransport final : public RequestTransport {
public:
    KeepingTransport(RequestTransport& inner, bool keep) : inner_(inner), keep_(keep) {}
    WireReply Exchange(const WireRequest& request) override {
        WireReply w = inner_.Exchange(request);
        const bool untaken =
            w.outcome == WireOutcome::kNoSuchMachine ||
            (w.outcome == WireOutcome::kGateStatus &&
             w.gate_status == static_cast<uint32_t>(remote::GateStatus::kNodeNotRunning));
        if (keep_ && untaken && !kept && !taken_) {
            kept = true;
            request_ = request;
        }
        if (!untaken) taken_ = true;
        return w;
    }
    bool kept = false;
    WireRequest request_;

private:
    RequestTransport& inner_;
    bool keep_;
    bool taken_ = false;
};

std::string TrimEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

} // namespace

std::vector<FanOutResult> FanOut(FleetBus& bus, ConsoleIo& parent,
                                 const std::vector<std::string>& machines, const MachineRun& run,
                                 const FanOutOptions& options, const ResultShown& shown) {
    std::vector<FanOutResult> results(machines.size());
    std::vector<bool> done(machines.size(), false);
    std::mutex lock;
    size_t next_shown = 0;
    std::atomic<size_t> next{0};
    const std::string sender = "pmconsole-fleet";
    auto worker = [&] {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= machines.size()) return;
            MachineTransport live(bus, machines[i], options.timeout_ms);
            KeepingTransport transport(live, options.keep_unanswered);
            CaptureIo io(parent, transport, sender);
            FanOutResult r;
            r.machine = machines[i];
            const uint64_t start = bus.NowMs();
            r.exit_code = run(io);
            r.elapsed_ms = bus.NowMs() - start;
            r.out = std::move(io.out);
            r.err = std::move(io.err);
            // Kept only when the machine ended without any request taken.
            r.unanswered = transport.kept && r.exit_code != kExitReply;
            if (r.unanswered) r.request = std::move(transport.request_);
            std::lock_guard<std::mutex> hold(lock);
            results[i] = std::move(r);
            done[i] = true;
            // Shown under the lock, in order: the output of two machines never interleaves.
            while (next_shown < machines.size() && done[next_shown]) {
                if (shown) shown(results[next_shown]);
                ++next_shown;
            }
        }
    };
    unsigned n = options.parallel == 0 ? 1 : options.parallel;
    if (n > machines.size()) n = static_cast<unsigned>(machines.size());
    std::vector<std::thread> threads;
    threads.reserve(n);
    for (unsigned k = 0; k < n; ++k)
        threads.emplace_back(worker);
    for (std::thread& t : threads)
        t.join();
    return results;
}

std::string FanOutJson(const FanOutResult& r) {
    std::string out = "{\"machine\": " + JsonString(r.machine) +
                      ", \"exit_code\": " + std::to_string(r.exit_code) +
                      ", \"elapsed_ms\": " + std::to_string(r.elapsed_ms);
    const std::string text = TrimEnd(r.out);
    // A command's one JSON object is kept as it is; anything else travels as text.
    if (!text.empty() && text.front() == '{' && text.find('\n') == std::string::npos)
        out += ", \"result\": " + text;
    else if (!text.empty())
        out += ", \"output\": " + JsonString(r.out);
    const std::string err = TrimEnd(r.err);
    if (!err.empty()) out += ", \"error\": " + JsonString(err);
    return out + "}\n";
}

std::string FanOutSummary(const std::vector<FanOutResult>& results) {
    // Each exit code's words, in the order the summary gives them.
    static const std::pair<int, const char*> kWords[] = {
        {kExitReply, "answered"},
        {1, "failed"},
        {kExitNoReply, "no reply"},
        {kExitNotPermitted, "not permitted"},
        {kExitNoSuchMachine, "no such machine"},
        {kExitAgentNotRunning, "agent not running"},
        {kExitUsage, "bad usage"},
    };
    std::map<int, size_t> counts;
    for (const FanOutResult& r : results)
        ++counts[r.exit_code];
    std::string out = std::to_string(counts[kExitReply]) + " answered";
    for (const auto& [code, words] : kWords) {
        if (code == kExitReply || counts[code] == 0) continue;
        out += ", " + std::to_string(counts[code]) + " " + words;
        counts.erase(code);
    }
    for (const auto& [code, n] : counts)
        if (code != kExitReply && n > 0)
            out += ", " + std::to_string(n) + " exit code " + std::to_string(code);
    return out;
}

int FanOutExit(const std::vector<FanOutResult>& results) {
    int common = kExitReply;
    for (const FanOutResult& r : results) {
        if (r.exit_code == kExitReply) continue;
        if (common == kExitReply) {
            common = r.exit_code;
        } else if (common != r.exit_code) {
            return 1;
        }
    }
    return common;
}

int RunPsWhere(ConsoleIo& io, const std::string& name, uint32_t timeout_ms) {
    Request request;
    request.code = kGetUpdates;
    request.timeout_ms = timeout_ms;
    request.params = {U32Bytes(0)};
    Reply reply = io.Send(request);
    if (reply.outcome != Reply::Outcome::kReply) return NotDelivered(io, reply, request);
    ConsoleTables tables(io.Decoder());
    std::string error;
    if (!tables.Apply(reply.items, &error)) {
        io.Err("pmconsole ps: malformed reply: " + error + "\n");
        return kExitNoReply;
    }
    for (const ProcessRow& p : tables.Processes())
        if (SameName(p.name, name))
            io.Out(std::to_string(p.process_id) + " " + VisibleField(p.name) + "\n");
    return kExitReply;
}

} // namespace pm::console
