// Through a NATS cluster, natively (libnats). Prints figures; judges nothing.
//   remote_bench update --conf FILE [ROUNDS]
//       the no-change update request (0x73124533 with the current clock) through the gate,
//       one at a time on one connection: p50 and p99, and the sizes of request and reply
//   remote_bench responder --conf FILE --subject S --size BYTES --seconds N
//       answers every request on S with BYTES bytes (a raw NATS responder)
//   remote_bench request --conf FILE --subject S --size BYTES [ROUNDS]
//       raw NATS request-reply of BYTES bytes to S: p50 and p99
//   remote_bench load --conf FILE --rate R --seconds N [--code HEX --to NODE]
//       R requests per second (no-change updates, or CODE without parameters to NODE), sent
//       without waiting, for N seconds: how many came back with the node's reply, with each
//       gate status, or not at all, and the replies' p50 and p99
// FILE is a pmconsole.conf (servers, ca_file, user, password_file, machine).
#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "outside/pmconsole/console_request.h"
#include "outside/pmconsole/remote_settings.h"
#include "outside/pmconsole/remote_transport.h"
#include "outside/pmconsole/request_transport.h"
#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "shared/remote/subjects.h"
#include "shared/remote/operations.h"

using namespace pm;
using namespace pm::console;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kUpdateCode = 0x73124533;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void PrintLatency(const char* what, const std::vector<double>& v) {
    std::printf("%-34s p50 %8.3f ms   p99 %8.3f ms   (%zu samples)\n", what, Percentile(v, 0.5),
                Percentile(v, 0.99), v.size());
}

std::string Option(std::vector<std::string>& args, const std::string& name,
                   const std::string& fallback = "") {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) {
            std::string v = args[i + 1];
            args.erase(args.begin() + static_cast<long>(i),
                       args.begin() + static_cast<long>(i) + 2);
            return v;
        }
    return fallback;
}

std::string U32(uint32_t v) {
    std::string s(4, '\0');
    std::memcpy(&s[0], &v, 4);
    return s;
}

class HeapMemory final : public MessageMemory {
public:
    void* Allocate(uint32_t size) override { return std::malloc(size ? size : 1); }
    void Free(void* m) override { std::free(m); }
};

// The update request packed as the console sends it.
std::string PackedUpdate(uint32_t clock) {
    HeapMemory memory;
    Command command(kUpdateCode);
    command.SetReturnAddr("remote-bench");
    command.SetTargetAddr("ProcMgr");
    const std::string p = U32(clock);
    command.AddParam(p.data(), 4);
    void* packed = command.BuildRequest(memory);
    if (packed == nullptr) return std::string();
    std::string bytes(static_cast<const char*>(packed), msg::DeclaredLength(packed));
    memory.Free(packed);
    return bytes;
}

// A libnats connection with the settings of a pmconsole.conf.
natsConnection* Connect(const RemoteSettings& s, const std::string& password) {
    natsOptions* opts = nullptr;
    natsConnection* nc = nullptr;
    std::vector<const char*> urls;
    for (const std::string& u : s.servers)
        urls.push_back(u.c_str());
    if (natsOptions_Create(&opts) != NATS_OK) return nullptr;
    natsOptions_SetServers(opts, urls.data(), static_cast<int>(urls.size()));
    natsOptions_SetNoRandomize(opts, true); // the first server of the list: the bench chooses
    if (!s.user.empty()) natsOptions_SetUserInfo(opts, s.user.c_str(), password.c_str());
    // The user's own inbox, as the consoles use it (the servers allow no other).
    if (!s.user.empty())
        natsOptions_SetCustomInboxPrefix(opts, remote::InboxPrefix(s.user).c_str());
    if (!s.ca_file.empty()) {
        natsOptions_SetSecure(opts, true);
        natsOptions_LoadCATrustedCertificates(opts, s.ca_file.c_str());
    }
    const natsStatus st = natsConnection_Connect(&nc, opts);
    natsOptions_Destroy(opts);
    if (st != NATS_OK) {
        std::fprintf(stderr, "remote_bench: cannot connect: %s\n", natsStatus_GetText(st));
        return nullptr;
    }
    return nc;
}

int Update(const RemoteSettings& s, const std::string& password, int rounds) {
    std::string error;
    std::unique_ptr<RequestTransport> t = ConnectRemote(s, password, error);
    if (!t) {
        std::fprintf(stderr, "remote_bench: cannot connect: %s\n", error.c_str());
        return 1;
    }
    Request r;
    r.code = kUpdateCode;
    r.params = {U32(0)};
    Reply first = SendThrough(*t, r, "remote-bench");
    if (first.outcome != Reply::Outcome::kReply || first.items.empty() ||
        first.items[0].size() < 4) {
        std::fprintf(stderr, "remote_bench: the first update got no reply\n");
        return 1;
    }
    uint32_t clock = 0;
    std::memcpy(&clock, first.items[0].data(), 4);
    std::vector<double> quiet;
    for (int i = 0; i < rounds; ++i) {
        r.params = {U32(clock)};
        const auto t0 = Clock::now();
        Reply reply = SendThrough(*t, r, "remote-bench");
        const double ms = Ms(Clock::now() - t0);
        if (reply.outcome != Reply::Outcome::kReply || reply.items.empty()) continue;
        if (reply.items[0].size() >= 4) std::memcpy(&clock, reply.items[0].data(), 4);
        if (reply.items.size() == 1) quiet.push_back(ms); // only the clock: nothing changed
    }
    // The sizes on the wire, for the raw request-reply to carry as much.
    natsConnection* nc = Connect(s, password);
    natsMsg* raw = nullptr;
    const std::string packed = PackedUpdate(clock);
    const std::string subject =
        remote::SubjectForRequest(s.machine, "ProcMgr", kUpdateCode, std::string());
    if (nc != nullptr && natsConnection_Request(&raw, nc, subject.c_str(), packed.data(),
                                                static_cast<int>(packed.size()), 5000) == NATS_OK)
        std::printf("sizes: request %zu bytes, reply %d bytes\n", packed.size(),
                    natsMsg_GetDataLength(raw));
    natsMsg_Destroy(raw);
    natsConnection_Destroy(nc);
    PrintLatency("update through the cluster:", quiet);
    return quiet.empty() ? 1 : 0;
}

void Respond(natsConnection* nc, natsSubscription*, natsMsg* msg, void* closure) {
    const auto* reply = static_cast<const std::string*>(closure);
    if (natsMsg_GetReply(msg) != nullptr)
        natsConnection_Publish(nc, natsMsg_GetReply(msg), reply->data(),
                               static_cast<int>(reply->size()));
    natsMsg_Destroy(msg);
}

int Responder(const RemoteSettings& s, const std::string& password, const std::string& subject,
              size_t size, int seconds) {
    natsConnection* nc = Connect(s, password);
    if (nc == nullptr) return 1;
    const std::string reply(size, 'r');
    natsSubscription* sub = nullptr;
    if (natsConnection_Subscribe(&sub, nc, subject.c_str(), &Respond,
                                 const_cast<std::string*>(&reply)) != NATS_OK)
        return 1;
    natsConnection_Flush(nc);
    std::printf("ready\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    natsSubscription_Destroy(sub);
    natsConnection_Destroy(nc);
    return 0;
}

int Requester(const RemoteSettings& s, const std::string& password, const std::string& subject,
              size_t size, int rounds) {
    natsConnection* nc = Connect(s, password);
    if (nc == nullptr) return 1;
    const std::string request(size, 'q');
    std::vector<double> v;
    for (int i = 0; i < rounds + 10; ++i) {
        natsMsg* reply = nullptr;
        const auto t0 = Clock::now();
        if (natsConnection_Request(&reply, nc, subject.c_str(), request.data(),
                                   static_cast<int>(request.size()), 5000) == NATS_OK &&
            i >= 10) // the first ten warm the route and the subject's interest
            v.push_back(Ms(Clock::now() - t0));
        natsMsg_Destroy(reply);
    }
    natsConnection_Destroy(nc);
    PrintLatency("raw NATS request-reply:", v);
    return v.empty() ? 1 : 0;
}

struct LoadState {
    std::mutex lock;
    std::vector<Clock::time_point> sent;
    std::vector<double> latency;
    std::vector<char> answered;
    size_t ok = 0, statuses = 0, duplicates = 0;
    std::map<std::string, size_t> by_status;
};

void OnLoadReply(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* st = static_cast<LoadState*>(closure);
    const auto now = Clock::now();
    const char* subject = natsMsg_GetSubject(msg);
    const char* dot = std::strrchr(subject, '.');
    const size_t index = dot ? std::strtoul(dot + 1, nullptr, 10) : 0;
    const char* status = nullptr;
    natsMsgHeader_Get(msg, "Pm-Status", &status);
    {
        std::lock_guard<std::mutex> hold(st->lock);
        if (index < st->answered.size()) {
            if (st->answered[index]) {
                ++st->duplicates;
            } else {
                st->answered[index] = 1;
                if (status != nullptr && std::strcmp(status, "0") == 0) {
                    ++st->ok;
                    st->latency.push_back(Ms(now - st->sent[index]));
                } else {
                    ++st->statuses;
                    ++st->by_status[status ? status : "none"];
                }
            }
        }
    }
    natsMsg_Destroy(msg);
}

int Load(const RemoteSettings& s, const std::string& password, int rate, int seconds, uint32_t code,
         const std::string& node) {
    natsConnection* nc = Connect(s, password);
    if (nc == nullptr) return 1;
    const size_t total = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
    LoadState st;
    st.sent.resize(total);
    st.answered.assign(total, 0);
    const std::string prefix =
        remote::InboxPrefix(s.user) + ".bench" + std::to_string(std::rand()) + ".";
    natsSubscription* sub = nullptr;
    if (natsConnection_Subscribe(&sub, nc, (prefix + "*").c_str(), &OnLoadReply, &st) != NATS_OK)
        return 1;
    natsSubscription_SetPendingLimits(sub, -1, -1);
    natsConnection_Flush(nc);
    const std::string subject = remote::SubjectForRequest(s.machine, node, code, std::string());
    // The agent's current clock, so that the updates find no change.
    uint32_t clock = 0;
    {
        std::string error;
        std::unique_ptr<RequestTransport> t = ConnectRemote(s, password, error);
        Request r;
        r.code = kUpdateCode;
        r.params = {U32(0)};
        const Reply first = t ? SendThrough(*t, r, "remote-bench") : Reply();
        if (first.outcome == Reply::Outcome::kReply && !first.items.empty() &&
            first.items[0].size() >= 4)
            std::memcpy(&clock, first.items[0].data(), 4);
    }
    std::string request = PackedUpdate(clock);
    if (code != kUpdateCode) {
        HeapMemory memory;
        Command command(code);
        command.SetReturnAddr("remote-bench");
        command.SetTargetAddr(node.c_str());
        void* packed = command.BuildRequest(memory);
        if (packed == nullptr) return 1;
        request.assign(static_cast<const char*>(packed), msg::DeclaredLength(packed));
        memory.Free(packed);
    }
    const auto start = Clock::now();
    for (size_t i = 0; i < total; ++i) {
        const auto due = start + std::chrono::microseconds(1000000 * i / static_cast<size_t>(rate));
        std::this_thread::sleep_until(due);
        {
            std::lock_guard<std::mutex> hold(st.lock);
            st.sent[i] = Clock::now();
        }
        natsConnection_PublishRequest(nc, subject.c_str(), (prefix + std::to_string(i)).c_str(),
                                      request.data(), static_cast<int>(request.size()));
    }
    const double sending = Ms(Clock::now() - start) / 1000.0;
    // Stragglers: at most 120 s (the gate's own wait for its node is 25 s; a gate that reads
    // behind answers later still, and that counts as late, not lost).
    for (int i = 0; i < 1200; ++i) {
        {
            std::lock_guard<std::mutex> hold(st.lock);
            if (st.ok + st.statuses == total) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    natsSubscription_Unsubscribe(sub);
    natsConnection_Destroy(nc);
    natsSubscription_Destroy(sub);
    std::lock_guard<std::mutex> hold(st.lock);
    std::printf("sent %zu requests in %.1f s (%.0f per second)\n", total, sending,
                static_cast<double>(total) / sending);
    std::printf("node's reply %zu, gate status %zu, no answer %zu, duplicates %zu\n", st.ok,
                st.statuses, total - st.ok - st.statuses, st.duplicates);
    for (const auto& b : st.by_status)
        std::printf("  gate status %s: %zu\n", b.first.c_str(), b.second);
    size_t late = 0;
    for (double ms : st.latency)
        late += ms > 30000 ? 1 : 0;
    std::printf(
        "node's replies later than 30 s: %zu; the slowest %.1f s\n", late,
        st.latency.empty() ? 0.0 : *std::max_element(st.latency.begin(), st.latency.end()) / 1000);
    PrintLatency("replies under load:", st.latency);
    return st.ok == total ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help") {
        std::puts("usage: remote_bench update|responder|request|load --conf FILE ... (see the "
                  "source's first lines)");
        return args.empty() ? 2 : 0;
    }
    const std::string mode = args[0];
    args.erase(args.begin());
    const std::string subject = Option(args, "--subject", "procmgr.bench.raw");
    const size_t size = std::strtoul(Option(args, "--size", "64").c_str(), nullptr, 10);
    const int seconds = std::atoi(Option(args, "--seconds", "60").c_str());
    const int rate = std::atoi(Option(args, "--rate", "1000").c_str());
    const uint32_t code = static_cast<uint32_t>(
        std::strtoul(Option(args, "--code", "73124533").c_str(), nullptr, 16));
    const std::string node = Option(args, "--to", "ProcMgr");
    RemoteSettings settings;
    std::string password, error;
    if (!LoadRemoteSettings(args, settings, password, error) || !settings.Remote()) {
        std::fprintf(stderr, "remote_bench: %s\n", error.empty() ? "--conf FILE" : error.c_str());
        return 2;
    }
    const int rounds = args.empty() ? 1000 : std::atoi(args[0].c_str());
    int result = 2;
    if (mode == "update") result = Update(settings, password, rounds);
    if (mode == "responder") result = Responder(settings, password, subject, size, seconds);
    if (mode == "request") result = Requester(settings, password, subject, size, rounds);
    if (mode == "load") result = Load(settings, password, rate, seconds, code, node);
    nats_Close();
    return result;
}
