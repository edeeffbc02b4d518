// pmsim: M simulated machines on a NATS cluster, for measuring the fleet side at scale. Each
// machine is the gate's own core (its rules, statuses, reply pieces, presence and discovery)
// over a simulated agent that answers updates and configuration with the agent's own code;
// libnats carries its messages.
//
//   pmsim --conf FILE --machines M [--first N] [--prefix NAME] [--processes P] [--churn N]
//         [--heartbeat S] [--connections C] [--seconds S] [--queue Q] [--record FILE]
//         [--clock-file FILE]
#include <nats/nats.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "outside/pmconsole/console_request.h"
#include "outside/pmconsole/remote_settings.h"
#include "bench/fleet/pmsim/sim_machine.h"
#include "outside/pmgate/gate_bus.h"
#include "outside/pmgate/gate_clock.h"
#include "outside/pmgate/gate_core.h"
#include "outside/pmgate/queue_runner.h"
#include "shared/remote/alerts.h"
#include "shared/remote/compliance.h"
#include "shared/remote/policy_bucket.h"
#include "shared/remote/operations.h"
#include "shared/remote/pieces.h"
#include "shared/remote/presence.h"
#include "shared/remote/subjects.h"

namespace pm::sim {
namespace {

const char kUsage[] =
    "usage: pmsim --conf FILE --machines M [--first N] [--prefix NAME] [--processes P]\n"
    "             [--churn N] [--heartbeat S] [--connections C] [--seconds S]\n"
    "             [--alerts N] [--alert-every S] [--alert-code C] [--queue Q] [--record FILE]\n"
    "             [--clock-file FILE]\n"
    "Connects M simulated machines NAME<N>..NAME<N+M-1> (default sim1..simM) to the servers of\n"
    "FILE (a pmconsole.conf: servers, ca_file, user, password_file; the user may subscribe to\n"
    "procmgr.*.> and publish presence). Each answers updates and configuration with the\n"
    "agent's own code over P synthetic processes (default 60), N of which end and start again\n"
    "every 10 s (default 1), answers procmgr.discover, and sends a heartbeat every S seconds\n"
    "(default 30). C connections share the machines (default 4). Each machine raises N alerts\n"
    "at the start and one every S seconds, kept until proven in the stream PROCMGR_ALERTS\n"
    "(published with message ids: a republished one is stored once), of code C (decimal; default\n"
    "0x504D0001; 131845 = 0x20305, a process stopped at level 2). The first Q machines run the\n"
    "gate's queue runner on their consumers of PROCMGR_QUEUE. --record appends what the\n"
    "machines did, one line each: 'raised MACHINE RUN SEQ', 'stored MACHINE-RUN-SEQ STREAM-SEQ\n"
    "[duplicate]' (the stream's answer), 'missing MACHINE N' (N answered stored the stream\n"
    "lacks: sent again), 'restored ID STREAM-SEQ' (one of them stored anew), 'ran MACHINE ID\n"
    "T_MS' (the true time), and on a stop\n"
    "'end RUN unstored N'. --clock-file moves the machines' wall clock (their gate cores' and\n"
    "queue runners') by the signed number of seconds FILE holds, read again every second (no\n"
    "file, or no number in it: the true time). Stops on SIGINT/SIGTERM (alerts not yet stored\n"
    "get 60 s more) or after --seconds.\n"
    "exit codes: 0 stopped, 1 could not connect, 2 usage\n";

std::atomic<bool> g_stop{false};

// --record: what the machines did, for a checker that compares it with the streams. Each line
// is flushed as written, so a simulator killed at once leaves every line it wrote whole.
std::mutex g_record_lock;
FILE* g_record = nullptr;
void Record(const std::string& line) {
    if (g_record == nullptr) return;
    std::lock_guard<std::mutex> hold(g_record_lock);
    std::fprintf(g_record, "%s\n", line.c_str());
    std::fflush(g_record);
}
void OnSignal(int) {
    g_stop = true;
}

// The machines' clock, movable at run time as a machine's clock is set wrong: the wall clock
// only (intervals stay on the monotonic clock, as on a machine).
class MovedClock final : public gate::GateClock {
public:
    [[nodiscard]] uint64_t MonotonicMs() const override { return true_.MonotonicMs(); }
    [[nodiscard]] uint64_t UtcMs() const override {
        return true_.UtcMs() + static_cast<uint64_t>(offset_ms.load());
    }
    // Reads FILE's seconds (absent or not a number: 0); true when the offset changed.
    bool Read(const std::string& path) {
        long long seconds = 0;
        if (FILE* f = std::fopen(path.c_str(), "r"); f != nullptr) {
            if (std::fscanf(f, "%lld", &seconds) != 1) seconds = 0;
            std::fclose(f);
        }
        return offset_ms.exchange(static_cast<int64_t>(seconds) * 1000) != seconds * 1000;
    }
    std::atomic<int64_t> offset_ms{0};

private:
    gate::SystemClock true_;
};

// One libnats connection as the gate core's bus.
class NatsBus final : public gate::GateBus {
public:
    [[nodiscard]] bool Connected() const override {
        return nc != nullptr && natsConnection_Status(nc) == NATS_CONN_STATUS_CONNECTED;
    }
    void Publish(const gate::BusMessage& m) override {
        natsMsg* out = nullptr;
        if (natsMsg_Create(&out, m.subject.c_str(), m.reply.empty() ? nullptr : m.reply.c_str(),
                           m.payload.data(), static_cast<int>(m.payload.size())) != NATS_OK)
            return;
        for (const auto& [key, value] : m.headers)
            natsMsgHeader_Add(out, key.c_str(), value.c_str());
        natsConnection_PublishMsg(nc, out);
        natsMsg_Destroy(out);
    }
    [[nodiscard]] size_t PieceSize() const override {
        return remote::PieceSize(nc == nullptr ? 0 : natsConnection_GetMaxPayload(nc));
    }

    natsConnection* nc = nullptr;
};

// One simulated machine: the gate's core over the simulated agent.
struct SimGate {
    SimGate(MachineSpec spec, std::shared_ptr<const StringTable> strings, gate::GateBus& bus,
            const gate::GateClock& clock, uint32_t heartbeat_s)
        : machine(std::move(spec), std::move(strings)),
          core(machine.GateSettings(heartbeat_s), bus, machine, clock, [](const std::string&) {}),
          keeper(machine.Name(), machine.PolicyHands()) {}
    SimMachine machine;
    gate::GateCore core;
    gate::PolicyKeeper keeper;
    std::unique_ptr<gate::QueueRunner> runner; // with --queue
    uint64_t next_round_ms = 0;                // when its policies are due again
    bool named_before = false;                 // its last record had items
};

struct Connection {
    NatsBus bus;
    std::vector<natsSubscription*> subs;
    std::vector<SimGate*> gates;
    std::map<std::string, SimGate*> by_name;
    // Alerts raised and not yet in the stream, in order.
    std::mutex alerts_lock;
    remote::AlertOutbox outbox{1000000};
    std::map<std::string, uint64_t> alert_seq;
    struct Answer {
        std::string machine, id;
        remote::AlertAnswer answer;
    };
    std::vector<Answer> answered; // the stream's answers, not yet taken to the outbox
    uint64_t stored = 0;
};

uint64_t WallMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

uint64_t SteadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

const std::string& RunId() {
    static const std::string id = std::to_string(WallMs());
    return id;
}

void RaiseAlert(Connection& c, const std::string& machine, uint32_t code) {
    std::lock_guard<std::mutex> hold(c.alerts_lock);
    remote::AlertRecord a;
    a.machine = machine;
    a.run = RunId();
    a.seq = ++c.alert_seq[machine];
    Record("raised " + machine + " " + a.run + " " + std::to_string(a.seq));
    a.time_ms = WallMs();
    a.monitor = "backup.exe";
    a.code = code;
    a.text = "the process ended";
    c.outbox.Raise(std::move(a));
}

// Publishes the writes the outbox has due (at most one per machine, as its gate publishes
// them), a batch at a time without waiting for each answer, then waits for the batch's answers
// and takes them to the outbox. (No error reported is not an answer: a batch sent into a server
// that was stopped got neither.)
void OnPublishAnswer(jsCtx*, natsMsg* msg, jsPubAck* pa, jsPubAckErr* pae, void* closure) {
    auto* c = static_cast<Connection*>(closure);
    const char* id = nullptr;
    const std::string machine = remote::MachineOfSubject(natsMsg_GetSubject(msg), "alerts");
    if (natsMsgHeader_Get(msg, remote::kMsgIdHeader, &id) == NATS_OK && id != nullptr &&
        !machine.empty()) {
        remote::AlertAnswer a;
        if (pa != nullptr) {
            a.kind = pa->Duplicate ? remote::AlertAnswer::Kind::kDuplicate
                                   : remote::AlertAnswer::Kind::kStored;
            a.seq = pa->Sequence;
        } else if (pae != nullptr) {
            a = remote::AlertAnswerOfError(static_cast<uint64_t>(pae->ErrCode),
                                           pae->ErrText != nullptr ? pae->ErrText : "");
        }
        std::lock_guard<std::mutex> hold(c->alerts_lock);
        c->answered.push_back({machine, id, a});
        if (pa != nullptr)
            Record(std::string("stored ") + id + " " + std::to_string(pa->Sequence) +
                   (pa->Duplicate ? " duplicate" : ""));
    }
    natsMsg_Destroy(msg);
}

void PublishAlerts(Connection& c, jsCtx* js) {
    for (;;) {
        std::vector<remote::AlertOutbox::Outgoing> batch;
        {
            std::lock_guard<std::mutex> hold(c.alerts_lock);
            batch = c.outbox.Next(512, SteadyMs());
        }
        if (batch.empty()) return;
        natsStatus st = NATS_OK;
        for (size_t i = 0; i < batch.size() && st == NATS_OK; ++i) {
            const remote::AlertOutbox::Outgoing& o = batch[i];
            const std::string body = remote::AlertJson(o.alert);
            natsMsg* msg = nullptr;
            st = natsMsg_Create(&msg, remote::AlertSubject(o.alert.machine).c_str(), nullptr,
                                body.data(), static_cast<int>(body.size()));
            if (st == NATS_OK) st = natsMsgHeader_Set(msg, remote::kMsgIdHeader, o.id.c_str());
            if (st == NATS_OK)
                st = natsMsgHeader_Set(msg, remote::kExpectedLastSubjectSeqHeader,
                                       std::to_string(o.expect).c_str());
            if (st == NATS_OK) st = js_PublishMsgAsync(js, &msg, nullptr);
            natsMsg_Destroy(msg); // (null once the publish took it)
        }
        jsPubOptions wait;
        jsPubOptions_Init(&wait);
        wait.MaxWait = 5000;
        if (st == NATS_OK) st = js_PublishAsyncComplete(js, &wait);
        if (st != NATS_OK) {
            // Those without an answer are forgotten: they go again.
            natsMsgList pending = {nullptr, 0};
            if (js_PublishAsyncGetPendingList(&pending, js) == NATS_OK)
                natsMsgList_Destroy(&pending);
        }
        std::lock_guard<std::mutex> hold(c.alerts_lock);
        std::map<std::string, const Connection::Answer*> by_machine;
        for (const Connection::Answer& a : c.answered)
            by_machine[a.machine] = &a;
        size_t answers = 0;
        for (const remote::AlertOutbox::Outgoing& o : batch) {
            const auto it = by_machine.find(o.alert.machine);
            const bool came = it != by_machine.end() && it->second->id == o.id;
            const remote::AlertOutbox::Settled r =
                c.outbox.Answered(o, came ? it->second->answer : remote::AlertAnswer(), SteadyMs());
            answers += came ? 1 : 0;
            c.stored += r.proven;
            if (r.lost != 0) Record("missing " + o.alert.machine + " " + std::to_string(r.lost));
            if (r.restored)
                Record("restored " + o.id + " " + std::to_string(it->second->answer.seq));
        }
        c.answered.clear();
        if (st != NATS_OK || answers == 0) return;
    }
}

uint64_t NowS() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* c = static_cast<Connection*>(closure);
    nats::Message m;
    m.subject = natsMsg_GetSubject(msg);
    if (const char* reply = natsMsg_GetReply(msg); reply != nullptr) m.reply = reply;
    // A status (no request waiting, no consumer) as the header block the queue runner reads.
    if (const char* code = nullptr;
        natsMsgHeader_Get(msg, "Status", &code) == NATS_OK && code != nullptr)
        m.headers = std::string("NATS/1.0 ") + code + "\r\n\r\n";
    m.payload.assign(natsMsg_GetData(msg), static_cast<size_t>(natsMsg_GetDataLength(msg)));
    natsMsg_Destroy(msg);
    if (m.subject == remote::kDiscoverSubject) {
        // As each machine's gate would: each on its own hello subject.
        for (SimGate* g : c->gates)
            g->core.OnMessage(m);
        return;
    }
    // procmgr.<machine>.<node>...: the machine's gate.
    const size_t a = m.subject.find('.') + 1, b = m.subject.find('.', a);
    if (a == 0 || b == std::string::npos) return;
    auto it = c->by_name.find(m.subject.substr(a, b - a));
    if (it != c->by_name.end()) it->second->core.OnMessage(m);
}

// After a reconnection each machine says hello again, as a gate does on every new connection.
void OnReconnected(natsConnection* nc, void* closure) {
    for (Connection& c : *static_cast<std::vector<Connection>*>(closure))
        if (c.bus.nc == nc)
            for (SimGate* g : c.gates)
                c.bus.Publish(g->core.Hello());
}

bool ReadText(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

int Main(std::vector<std::string> args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return std::fputs(kUsage, stdout), 0;
    console::RemoteSettings settings;
    settings.machine_optional = true;
    std::string password, error;
    if (!console::LoadRemoteSettings(args, settings, password, error) || !settings.Remote()) {
        std::fprintf(stderr, "pmsim: %s\n%s", error.empty() ? "give --conf FILE" : error.c_str(),
                     kUsage);
        return 2;
    }
    uint32_t machines = 0, first = 1, processes = 60, churn = 1, heartbeat = 30, connections = 4,
             seconds = 0, alerts = 0, alert_every = 0, alert_code = 0x504D0001, queue = 0;
    std::string prefix = "sim", record, clock_file;
    for (size_t i = 0; i < args.size(); ++i) {
        uint32_t* target = args[i] == "--machines"      ? &machines
                           : args[i] == "--first"       ? &first
                           : args[i] == "--processes"   ? &processes
                           : args[i] == "--churn"       ? &churn
                           : args[i] == "--heartbeat"   ? &heartbeat
                           : args[i] == "--connections" ? &connections
                           : args[i] == "--seconds"     ? &seconds
                           : args[i] == "--alerts"      ? &alerts
                           : args[i] == "--alert-every" ? &alert_every
                           : args[i] == "--alert-code"  ? &alert_code
                           : args[i] == "--queue"       ? &queue
                                                        : nullptr;
        if (args[i] == "--prefix" && i + 1 < args.size()) {
            prefix = args[++i];
        } else if (args[i] == "--record" && i + 1 < args.size()) {
            record = args[++i];
        } else if (args[i] == "--clock-file" && i + 1 < args.size()) {
            clock_file = args[++i];
        } else if (target == nullptr || i + 1 >= args.size() ||
                   !console::ParseU32(args[i + 1], *target)) {
            std::fprintf(stderr, "pmsim: unknown or incomplete argument '%s'\n%s", args[i].c_str(),
                         kUsage);
            return 2;
        } else {
            ++i;
        }
    }
    if (machines == 0 || machines > 100000 || connections == 0 || connections > 64 ||
        heartbeat == 0 || processes > 5000 ||
        !remote::IsValidMachineName(prefix + std::to_string(first + machines - 1))) {
        std::fprintf(stderr, "pmsim: --machines 1-100000, --connections 1-64, --heartbeat above "
                             "0, --processes up to 5000, a prefix of [a-z0-9_-]\n");
        return 2;
    }
    if (!record.empty() && (g_record = std::fopen(record.c_str(), "a")) == nullptr) {
        std::fprintf(stderr, "pmsim: cannot write %s\n", record.c_str());
        return 2;
    }
    auto strings = std::make_shared<StringTable>();
    std::string rc;
    if (ReadText(PM_QUORLENT_RC_PATH, rc)) *strings = ReadStringTable(rc);

    // Machine i on connection i mod C.
    std::vector<Connection> conns(connections);
    MovedClock clock;
    auto read_clock = [&] {
        if (!clock_file.empty() && clock.Read(clock_file))
            std::fprintf(stderr, "pmsim: the machines' clock moved by %lld s\n",
                         static_cast<long long>(clock.offset_ms.load() / 1000));
    };
    read_clock();
    std::vector<std::unique_ptr<SimGate>> sims;
    for (uint32_t n = first; n < first + machines; ++n) {
        Connection& c = conns[(n - first) % connections];
        sims.push_back(
            std::make_unique<SimGate>(MachineSpec{prefix + std::to_string(n), processes, n},
                                      strings, c.bus, clock, heartbeat));
        c.gates.push_back(sims.back().get());
        c.by_name[sims.back()->machine.Name()] = sims.back().get();
        if (n - first < queue) {
            // The gate's own queue runner; each request it runs is recorded.
            SimGate& g = *sims.back();
            gate::QueueHooks hooks = g.core.MakeQueueHooks();
            hooks.run = [&g, run = hooks.run](const remote::QueuedRequest& q,
                                              gate::QueueHooks::Done done) {
                Record("ran " + g.machine.Name() + " " + q.id + " " + std::to_string(WallMs()));
                run(q, std::move(done));
            };
            g.runner = std::make_unique<gate::QueueRunner>(g.machine.Name(), std::move(hooks));
            g.core.SetQueueRunner(g.runner.get());
        }
    }

    // Delivery from a small pool of threads: one thread per subscription would be thousands.
    nats_SetMessageDeliveryPoolSize(4);
    natsOptions* opts = nullptr;
    std::vector<const char*> urls;
    for (const std::string& u : settings.servers)
        urls.push_back(u.c_str());
    natsStatus st = natsOptions_Create(&opts);
    if (st == NATS_OK)
        st = natsOptions_SetServers(opts, urls.data(), static_cast<int>(urls.size()));
    if (st == NATS_OK && !settings.user.empty())
        st = natsOptions_SetUserInfo(opts, settings.user.c_str(), password.c_str());
    // The stream's answers to its alerts come to its own inbox.
    if (st == NATS_OK && !settings.user.empty())
        st = natsOptions_SetCustomInboxPrefix(opts, remote::InboxPrefix(settings.user).c_str());
    if (st == NATS_OK && !settings.ca_file.empty()) {
        st = natsOptions_SetSecure(opts, true);
        if (st == NATS_OK)
            st = natsOptions_LoadCATrustedCertificates(opts, settings.ca_file.c_str());
    }
    if (st == NATS_OK) st = natsOptions_UseGlobalMessageDelivery(opts, true);
    if (st == NATS_OK) st = natsOptions_SetMaxPendingMsgs(opts, 1000000);
    if (st == NATS_OK) st = natsOptions_SetMaxReconnect(opts, -1);
    if (st == NATS_OK) st = natsOptions_SetReconnectWait(opts, 250);
    // As the gate's connection: a server quiet for a ping 10 s apart, twice, is left.
    if (st == NATS_OK) st = natsOptions_SetPingInterval(opts, 10000);
    if (st == NATS_OK) st = natsOptions_SetMaxPingsOut(opts, 2);
    if (st == NATS_OK) st = natsOptions_SetReconnectedCB(opts, &OnReconnected, &conns);
    const uint64_t started = NowS();
    for (size_t k = 0; st == NATS_OK && k < conns.size(); ++k) {
        Connection& c = conns[k];
        if (c.gates.empty()) continue;
        // A server loaded at the start (every simulator and console connecting, bcrypt for each)
        // may close a connection before its PONG: tried again, for 10 s.
        st = natsConnection_Connect(&c.bus.nc, opts);
        for (int again = 0; st != NATS_OK && again < 20 && !g_stop; ++again) {
            usleep(500 * 1000);
            st = natsConnection_Connect(&c.bus.nc, opts);
        }
        // A gate's subscriptions: its nodes' requests.
        for (SimGate* g : c.gates)
            for (const char* node : {remote::kAgentNode, remote::kHostNode, "acks"}) {
                if (g->runner == nullptr && std::string(node) == "acks") continue;
                natsSubscription* sub = nullptr;
                const std::string subject = remote::NodeWildcard(g->machine.Name(), node);
                if (st == NATS_OK)
                    st = natsConnection_Subscribe(&sub, c.bus.nc, subject.c_str(), &OnMessage, &c);
                if (st == NATS_OK) c.subs.push_back(sub);
            }
        natsSubscription* sub = nullptr;
        if (st == NATS_OK)
            st = natsConnection_Subscribe(&sub, c.bus.nc, remote::kDiscoverSubject, &OnMessage, &c);
        if (st == NATS_OK) c.subs.push_back(sub);
        for (natsSubscription* s : c.subs)
            natsSubscription_SetPendingLimits(s, -1, -1);
        if (st == NATS_OK) st = natsConnection_Flush(c.bus.nc);
        for (SimGate* g : c.gates)
            if (st == NATS_OK) c.bus.Publish(g->core.Hello());
    }
    int code = 0;
    std::atomic<bool> changed{true}; // the policies' bucket changed
    natsSubscription* watch = nullptr;
    std::vector<std::thread> publishers; // joined before the above go
    if (st != NATS_OK) {
        std::fprintf(stderr, "pmsim: cannot connect: %s\n", nats_GetLastError(nullptr));
        code = 1;
    } else {
        std::fprintf(stderr, "pmsim: %u machines %s%u..%s%u on %u connections\n", machines,
                     prefix.c_str(), first, prefix.c_str(), first + machines - 1, connections);
        signal(SIGINT, OnSignal);
        signal(SIGTERM, OnSignal);
        for (auto& g : sims)
            if (g->runner != nullptr) g->runner->Start();
        for (Connection& c : conns)
            for (SimGate* g : c.gates)
                for (uint32_t k = 0; k < alerts; ++k)
                    RaiseAlert(c, g->machine.Name(), alert_code);
        // One publisher per connection: alerts go out while requests are answered.
        for (Connection& c : conns) {
            if (c.bus.nc == nullptr) continue;
            publishers.emplace_back([&c] {
                jsOptions jo;
                jsOptions_Init(&jo);
                jo.PublishAsync.AckHandler = &OnPublishAnswer;
                jo.PublishAsync.AckHandlerClosure = &c;
                jo.PublishAsync.MaxPending = 1024;
                jsCtx* js = nullptr;
                if (natsConnection_JetStream(&js, c.bus.nc, &jo) != NATS_OK) return;
                const uint64_t t0 = WallMs();
                bool told = false;
                while (!g_stop) {
                    PublishAlerts(c, js);
                    size_t waiting;
                    {
                        std::lock_guard<std::mutex> hold(c.alerts_lock);
                        waiting = c.outbox.Size();
                    }
                    if (waiting == 0 && c.stored > 0 && !told) {
                        std::fprintf(stderr, "pmsim: %llu alerts stored in %llu ms\n",
                                     static_cast<unsigned long long>(c.stored),
                                     static_cast<unsigned long long>(WallMs() - t0));
                        told = true;
                    }
                    usleep(waiting == 0 ? 100 * 1000 : 250 * 1000);
                }
                // Stopping: what was raised gets longer to reach the stream (the outbox is in
                // memory; a stream still electing its leader after a fault takes seconds).
                for (const uint64_t until = WallMs() + 60000; WallMs() < until;) {
                    PublishAlerts(c, js);
                    {
                        std::lock_guard<std::mutex> hold(c.alerts_lock);
                        if (c.outbox.Size() == 0) break;
                    }
                    usleep(250 * 1000);
                }
                jsCtx_Destroy(js);
            });
        }
        // The policies: read again on every change in the bucket (its subjects are heard as
        // they are written) and at least every 10 s; each machine reconciles when they changed
        // or its shortest interval passed, and stores its record in PROCMGR_COMPLIANCE.
        if (!conns.empty() && conns[0].bus.nc != nullptr &&
            natsConnection_Subscribe(
                &watch, conns[0].bus.nc,
                (std::string("$KV.") + remote::kPolicyBucket + ".>").c_str(),
                [](natsConnection*, natsSubscription*, natsMsg* m, void* flag) {
                    static_cast<std::atomic<bool>*>(flag)->store(true);
                    natsMsg_Destroy(m);
                },
                &changed) != NATS_OK)
            watch = nullptr;
        publishers.emplace_back([&] {
            uint64_t rounds = 0, record_bytes = 0, reads = 0, requests = 0;
            std::vector<remote::PolicyAt> policies;
            uint64_t next_read = 0;
            bool told = false;
            natsConnection* nc = conns[0].bus.nc;
            const remote::ApiAsk ask = [nc, &requests](const std::string& subject,
                                                       const std::string& payload,
                                                       std::string& answer) {
                ++requests;
                natsMsg* reply = nullptr;
                if (natsConnection_Request(&reply, nc, subject.c_str(), payload.data(),
                                           static_cast<int>(payload.size()), 5000) != NATS_OK)
                    return false;
                answer.assign(natsMsg_GetData(reply),
                              static_cast<size_t>(natsMsg_GetDataLength(reply)));
                natsMsg_Destroy(reply);
                return true;
            };
            while (!g_stop && nc != nullptr) {
                const uint64_t now = WallMs();
                const bool fresh = changed.exchange(false);
                if (fresh || now >= next_read) {
                    std::vector<remote::PolicyRevision> read;
                    std::string error;
                    ++reads;
                    if (remote::ReadPolicies(ask, read, error)) {
                        policies = remote::PoliciesAt(read);
                        for (auto& g : sims)
                            g->next_round_ms = fresh ? 0 : g->next_round_ms;
                        told = false;
                    } else if (!told) {
                        std::fprintf(stderr, "pmsim: policies not read: %s\n", error.c_str());
                        told = true;
                    }
                    next_read = now + 10000;
                }
                for (auto& g : sims) {
                    // A change is followed by a round even where no enabled policy names the
                    // machine any more: that round takes the policies' monitors away.
                    if (now < g->next_round_ms) continue;
                    remote::Compliance record;
                    if (!g->keeper.Reconcile(policies, WallMs(), record)) continue;
                    const uint64_t delay = g->keeper.NextDelayMs(policies, record);
                    g->next_round_ms = delay == 0 ? UINT64_MAX : now + delay;
                    ++rounds;
                    // As the gate: a machine no policy names writes no record, except once to
                    // clear the one it wrote while named.
                    if (record.items.empty() && !g->named_before) continue;
                    g->named_before = !record.items.empty();
                    const std::string json = remote::ComplianceJson(record);
                    natsConnection_Publish(nc, remote::ComplianceSubject(g->machine.Name()).c_str(),
                                           json.data(), static_cast<int>(json.size()));
                    record_bytes += json.size();
                }
                usleep(100 * 1000);
            }
            if (rounds > 0)
                std::fprintf(stderr,
                             "pmsim: policies: %llu rounds, %llu bytes of records, %llu reads of "
                             "the bucket in %llu requests\n",
                             static_cast<unsigned long long>(rounds),
                             static_cast<unsigned long long>(record_bytes),
                             static_cast<unsigned long long>(reads),
                             static_cast<unsigned long long>(requests));
        });
        uint64_t next_beat = started + heartbeat, next_churn = started + 10,
                 next_alert = started + alert_every, next_clock = started + 1;
        while (!g_stop && (seconds == 0 || NowS() < started + seconds)) {
            usleep(100 * 1000);
            const uint64_t now = NowS();
            if (now >= next_clock) {
                read_clock();
                next_clock = now + 1;
            }
            if (now >= next_churn && churn > 0) {
                for (auto& g : sims)
                    g->machine.Churn(churn);
                next_churn = now + 10;
            }
            if (alert_every > 0 && now >= next_alert) {
                for (Connection& c : conns)
                    for (SimGate* g : c.gates)
                        RaiseAlert(c, g->machine.Name(), alert_code);
                next_alert = now + alert_every;
            }
            if (now >= next_beat) {
                for (auto& g : sims)
                    g->core.Beat();
                next_beat = now + heartbeat;
            }
        }
    }
    g_stop = true;
    for (auto& g : sims)
        if (g->runner != nullptr) g->runner->Stop();
    for (std::thread& t : publishers)
        t.join();
    if (code == 0) {
        size_t unstored = 0;
        for (Connection& c : conns)
            unstored += c.outbox.Size();
        Record("end " + RunId() + " unstored " + std::to_string(unstored));
    }
    natsSubscription_Destroy(watch);
    for (Connection& c : conns) {
        for (natsSubscription* s : c.subs)
            natsSubscription_Destroy(s);
        natsConnection_Destroy(c.bus.nc);
        c.bus.nc = nullptr;
    }
    natsOptions_Destroy(opts);
    if (g_record != nullptr) std::fclose(g_record);
    return code;
}

} // namespace
} // namespace pm::sim

int main(int argc, char** argv) {
    const int code = pm::sim::Main(std::vector<std::string>(argv + 1, argv + argc));
    nats_Close();
    return code;
}
