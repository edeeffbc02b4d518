// pmgate: the machine's outbound link. Subscribes to procmgr.<machine>.<node>.> for each exposed
// node, checks each request against its rules, forwards it through the messaging library to
// the local node and publishes the reply (in pieces when large) to the request's reply subject.
//
//   pmgate [--config FILE] [--check] [--trace]
//   exit codes: 0 stopped normally (kavipcctl quit pmgate), 1 could not start, 2 usage,
//               3 refused by the server (credentials, certificate)
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "outside/pmgate/file_version_win.h"
#include "outside/pmgate/forwarder.h"
#include "outside/pmgate/gate_link_win.h"
#include "outside/pmgate/keyed_hash_win.h"
#include "outside/pmgate/queue_runner.h"
#include "outside/pmgate/reply_lines.h"
#include "shared/base/small_file.h"
#include "shared/node/service_node.h"
#include "shared/node/trace_log.h"
#include "shared/base/endian.h"
#include "shared/remote/alerts.h"
#include "shared/remote/gate_config.h"
#include "shared/remote/operations.h"
#include "shared/remote/presence.h"
#include "shared/remote/queue.h"
#include "shared/remote/subjects.h"

namespace pm::gate {
namespace {

constexpr const char* kNodeName = "pmgate";
constexpr const char* kGateVersion = "1.2";
// Longer than the agent's own 15 s wait for the monitor host, shorter than a console's 30 s.
constexpr uint32_t kForwardTimeoutMs = 25000;

const char kUsage[] =
    "usage: pmgate [--config FILE] [--check] [--trace]\n"
    "  Connects out to the NATS servers of pmgate.conf (default: beside pmgate.exe) and\n"
    "  forwards the requests for this machine to the local nodes.\n"
    "  --check   read and check the configuration, then exit (no connection)\n"
    "  --trace   write the trace log pmgate.log beside the configuration\n"
    "exit codes: 0 stopped, 1 could not start, 2 usage, 3 refused by the server\n";

std::mutex g_trace_lock;
void TraceLine(const std::string& line) {
    std::lock_guard<std::mutex> hold(g_trace_lock);
    Trace("%s\n", line.c_str());
}

std::string ProgramDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p = path;
    const size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

class Gate;

// Milliseconds since 1970, UTC: queued requests carry their expiry so.
uint64_t UtcNowMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t t = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    return (t - 116444736000000000ull) / 10000;
}

// One forwarded request; its completion publishes the reply.
class GateCommand final : public Command {
public:
    GateCommand(Gate& gate, uint32_t code) : Command(code), gate_(gate) {}
    void OnComplete() override;

    // Called once with the gate status (0: `reply` is the node's reply message).
    std::function<void(remote::GateStatus status, const std::string& reply)> finish;
    std::string node;
    std::string console; // the request's sender: the reply's addressee
    uint32_t console_seq = 0;
    uint8_t console_tag = 0;
    DWORD sent_at = 0;

private:
    Gate& gate_;
};

class HeapMemory final : public MessageMemory {
public:
    void* Allocate(uint32_t size) override { return std::malloc(size ? size : 1); }
    void Free(void* m) override { std::free(m); }
};

// The monitor host's alerts into the stream PROCMGR_ALERTS: the host is asked for the alerts
// above the last one seen every two seconds; each goes into a bounded outbox and is published
// one at a time (so that the stream keeps them in order) until the stream answers it stored.
// The stream's answers come to procmgr.<machine>.acks.<n>. Nothing is lost while the link is
// down; past 10,000 waiting alerts the oldest go, counted in the trace.
class AlertPump {
public:
    AlertPump(std::string machine, std::string id_key, GateLink& link, ServiceNode& node,
              MessagingLibrary& library)
        : machine_(std::move(machine)), id_key_(std::move(id_key)), link_(link), node_(node),
          library_(library) {}

    static std::string AckWildcard(const std::string& machine) {
        return std::string(remote::kSubjectRoot) + "." + machine + ".acks.>";
    }

    // Asks the host (when it runs) for its new alerts; called from the pump's thread.
    void Poll() {
        if (!library_.Functions().SvcNodeExists(remote::kHostNode)) return;
        Command c(host::kCmdListAlerts);
        c.SetTargetAddr(remote::kHostNode);
        c.timeout_ms = 10000;
        uint8_t after[4];
        le::Store32(after, after_);
        c.AddParam(after, 4);
        node_.SendCommand(&c, Send::kWait);
        if (c.status != 0 || c.GetResultCount() == 0 || c.GetResultSize(0) != 4) return;
        std::lock_guard<std::mutex> hold(lock_);
        const uint64_t dropped = outbox_.Dropped();
        for (size_t i = 1; i < c.GetResultCount(); ++i) {
            host::HostAlert a;
            const std::string item(reinterpret_cast<const char*>(c.GetResult(i)),
                                   c.GetResultSize(i));
            if (host::DecodeAlert(item, &a)) outbox_.Raise(remote::AlertFromHost(machine_, a));
        }
        after_ = le::Load32(c.GetResult(0));
        if (outbox_.Dropped() != dropped)
            TraceLine("!!alerts: " + std::to_string(outbox_.Dropped()) +
                      " dropped while the stream was out of reach");
    }

    // Publishes the oldest waiting alert when none is in flight (or its answer is overdue).
    void Publish() {
        if (!link_.Connected()) return;
        std::lock_guard<std::mutex> hold(lock_);
        const ULONGLONG now = GetTickCount64();
        if (!in_flight_.empty() && now - sent_at_ < 5000) return;
        const std::vector<remote::AlertRecord> next = outbox_.Waiting(1);
        if (next.empty()) return;
        in_flight_ = next[0].MessageId();
        sent_at_ = now;
        ack_subject_ = std::string(remote::kSubjectRoot) + "." + machine_ + ".acks." +
                       std::to_string(++ack_number_);
        link_.Publish(AlertLines(next[0], ack_subject_, id_key_));
    }

    // True when the message was the stream's answer to an alert.
    bool OnAnswer(const nats::Message& m) {
        if (m.subject.compare(0, AckWildcard(machine_).size() - 1, AckWildcard(machine_), 0,
                              AckWildcard(machine_).size() - 1) != 0)
            return false;
        std::lock_guard<std::mutex> hold(lock_);
        if (m.subject == ack_subject_ && remote::PublishStored(m.payload, remote::kAlertStream)) {
            outbox_.Stored(in_flight_);
            in_flight_.clear();
        }
        return true;
    }

private:
    std::string machine_;
    std::string id_key_;
    GateLink& link_;
    ServiceNode& node_;
    MessagingLibrary& library_;
    std::mutex lock_;
    remote::AlertOutbox outbox_{10000};
    uint32_t after_ = 0;
    std::string in_flight_, ack_subject_;
    uint64_t ack_number_ = 0;
    ULONGLONG sent_at_ = 0;
};

class Gate {
public:
    Gate(const remote::GateConfig& config, const std::string& machine, GateLink& link,
         ServiceNode& node, MessagingLibrary& library)
        : config_(config), machine_(machine), link_(link), node_(node), library_(library) {
        rules_.nodes = config.nodes;
        rules_.allow = config.allow;
    }

    // What the gate says of its machine: in its hello, its heartbeats and to discovery.
    [[nodiscard]] std::string PresenceLines(const std::string& kind,
                                            const std::string& subject) const {
        remote::Presence p;
        p.kind = kind;
        p.machine = machine_;
        p.gate_version = kGateVersion;
        p.agent_running = library_.Functions().SvcNodeExists(remote::kAgentNode);
        p.host_running = library_.Functions().SvcNodeExists(remote::kHostNode);
        // The programs beside the gate (one installation directory), read while they run.
        if (p.agent_running) p.agent_version = FileVersion(ProgramDir() + "quorlent.exe");
        if (p.host_running) p.host_version = FileVersion(ProgramDir() + "pmhost.exe");
        p.uptime_s = (GetTickCount64() - started_) / 1000;
        p.heartbeat_s = config_.heartbeat_s;
        return nats::ClientState::PubLines(subject, "", remote::PresenceJson(p));
    }

    void SetAlertPump(AlertPump* pump) { pump_ = pump; }

    void SetQueueRunner(QueueRunner* runner) { runner_ = runner; }

    void OnRequest(nats::Message& m) {
        if (runner_ != nullptr && runner_->OnAnswer(m)) return;
        if (pump_ != nullptr && pump_->OnAnswer(m)) return;
        if (m.subject == remote::kDiscoverSubject) {
            // Answered on the machine's own hello subject, where the servers vouch for the
            // name; at most once a second, however often anyone asks.
            const ULONGLONG now = GetTickCount64();
            if (last_discover_ != 0 && now - last_discover_ < 1000) return;
            last_discover_ = now;
            link_.Publish(PresenceLines("discover", remote::HelloSubject(machine_)));
            return;
        }
        // Only a console's inbox is answered: a reply aimed anywhere else (the JetStream API,
        // another machine, the gate's own answers) would act with this machine's rights. Such
        // a request is not forwarded at all.
        if (!remote::IsConsoleInbox(m.reply)) {
            TraceLine("!!" + m.subject +
                      ": not forwarded, its reply subject is no console's inbox");
            return;
        }
        const std::string reply = m.reply;
        if (config_.trace) TraceLine("->" + m.subject + " to " + reply);
        Submit(m.subject, m.payload,
               [this, reply](remote::GateStatus status, const std::string& bytes) {
                   if (status != remote::GateStatus::kReply) {
                       Answer(reply, status);
                       return;
                   }
                   if (config_.trace)
                       TraceLine("<-" + reply + ": " + std::to_string(bytes.size()) + " bytes");
                   link_.Publish(ReplyLines(reply, bytes, link_.PieceSize()));
               });
    }

    // A request, live or queued, against the gate's rules and on to its node; `finish` is
    // called once with the outcome.
    void Submit(const std::string& subject_text, const std::string& payload,
                std::function<void(remote::GateStatus, const std::string&)> finish) {
        remote::Subject subject;
        if (!remote::ParseSubject(subject_text, subject) || subject.machine != machine_) {
            finish(remote::GateStatus::kMalformed, std::string());
            return;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
        const remote::RequestCheck check =
            remote::CheckRequest(subject, bytes, payload.size(), rules_);
        if (check.status != remote::GateStatus::kReply) {
            TraceLine("--" + subject_text + ": " + remote::GateStatusText(check.status));
            finish(check.status, std::string());
            return;
        }
        if (in_flight_.fetch_add(1) >= static_cast<int>(config_.max_in_flight)) {
            in_flight_.fetch_sub(1);
            finish(remote::GateStatus::kBusy, std::string());
            return;
        }
        auto* command = new GateCommand(*this, 0);
        if (!command->ParseRequest(check.view)) {
            delete command;
            in_flight_.fetch_sub(1);
            finish(remote::GateStatus::kMalformed, std::string());
            return;
        }
        command->finish = std::move(finish);
        command->node = subject.node;
        command->console = check.view.sender;
        command->console_seq = check.view.seq_no;
        command->console_tag = check.view.tag;
        command->SetTargetAddr(subject.node.c_str());
        command->timeout_ms = kForwardTimeoutMs;
        forwarder_.Post([this, command] { Forward(command); });
    }

    // On the forwarding thread: a slow node holds up no other request's reading. A node that
    // is not running fails the send, and Completed() tells that apart from a silent node.
    void Forward(GateCommand* command) {
        command->sent_at = GetTickCount();
        node_.SendCommand(command, Send::kNoWait | Send::kDeleteWhenDone);
    }

    void Completed(GateCommand& c) {
        in_flight_.fetch_sub(1);
        const uint32_t status = static_cast<uint32_t>(c.status);
        const bool own_timeout =
            GetTickCount() - c.sent_at >= c.timeout_ms && c.GetResultCount() == 0;
        if (status == 0xFFFF0000u && c.GetResultCount() == 0) {
            c.finish(library_.Functions().SvcNodeExists(c.node.c_str())
                         ? remote::GateStatus::kNoReply
                         : remote::GateStatus::kNodeNotRunning,
                     std::string());
            return;
        }
        if (status == 0xFFFF0002u && own_timeout) {
            c.finish(remote::GateStatus::kNoReply, std::string());
            return;
        }
        HeapMemory memory;
        void* reply = c.PackResultsAsReply(memory, c.console_tag, c.node.c_str(), c.console.c_str(),
                                           status, c.console_seq);
        if (reply == nullptr) {
            c.finish(remote::GateStatus::kNoReply, std::string());
            return;
        }
        const std::string bytes(static_cast<const char*>(reply), msg::DeclaredLength(reply));
        memory.Free(reply);
        c.finish(remote::GateStatus::kReply, bytes);
    }

    [[nodiscard]] int InFlight() const { return in_flight_.load(); }

private:
    void Answer(const std::string& reply, remote::GateStatus status) {
        link_.Publish(StatusLines(reply, status));
    }

    const remote::GateConfig& config_;
    std::string machine_;
    GateLink& link_;
    ServiceNode& node_;
    MessagingLibrary& library_;
    remote::GateRules rules_;
    std::atomic<int> in_flight_{0};
    const ULONGLONG started_ = GetTickCount64();
    ULONGLONG last_discover_ = 0; // the link's reading thread only
    AlertPump* pump_ = nullptr;
    QueueRunner* runner_ = nullptr;
    Forwarder forwarder_; // last: its thread ends before the rest goes
};

void GateCommand::OnComplete() {
    gate_.Completed(*this);
}

// Waits one heartbeat period; true when the gate stops.
bool WaitBeat(std::condition_variable& wake, std::unique_lock<std::mutex>& hold, uint32_t seconds,
              const bool& stop) {
    return wake.wait_for(hold, std::chrono::seconds(seconds), [&] { return stop; });
}

int Fail(const std::string& line, int code) {
    std::fprintf(stderr, "pmgate: %s\n", line.c_str());
    TraceLine("!!" + line);
    return code;
}

int Main(int argc, char** argv) {
    std::string config_path;
    bool check_only = false;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--config" && i + 1 < argc) {
            config_path = argv[++i];
        } else if (a == "--check") {
            check_only = true;
        } else if (a == "--trace") {
            trace = true;
        } else {
            std::fprintf(stderr, "pmgate: unknown argument '%s'\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (config_path.empty()) config_path = ProgramDir() + "pmgate.conf";
    std::string text, error;
    if (!ReadSmallFile(config_path, text)) return Fail("cannot read " + config_path, 1);
    remote::GateConfig config;
    if (!remote::ParseGateConfig(text, config, error)) return Fail(config_path + ": " + error, 1);
    if (trace || config.trace) {
        std::string dir = config_path;
        const size_t slash = dir.find_last_of("\\/");
        dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
        ProcessTraceLog().Enable(std::fopen((dir + "pmgate.log").c_str(), "a"));
        config.trace = true;
    }
    LinkSettings settings;
    for (const std::string& s : config.servers) {
        nats::ServerUrl url;
        if (!nats::ParseServerUrl(s, url, error)) return Fail(config_path + ": " + error, 1);
        if (!url.tls && !nats::IsLoopbackHost(url.host))
            return Fail(s + ": a server that is not on the loopback needs tls://", 1);
        settings.servers.push_back(url);
    }
    std::string machine = config.machine;
    if (machine.empty()) {
        char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = sizeof name;
        GetComputerNameA(name, &size);
        machine = remote::MachineFromComputerName(name);
        if (machine.empty())
            return Fail(std::string("the computer name '") + name +
                            "' is no machine name ([a-z0-9_-]+): set machine = in " + config_path,
                        1);
    }
    if (!config.credentials.empty()) {
        std::string cred;
        if (!ReadSmallFile(config.credentials, cred))
            return Fail("cannot read the credentials file " + config.credentials, 1);
        if (!remote::ParseCredentials(cred, settings.connect.user, settings.connect.password))
            return Fail(
                config.credentials + ": expected the user on line 1, the password on line 2", 1);
    }
    nats::ClientCertificate client_cert;
    if (!config.cert_file.empty()) {
        if (!client_cert.Load(config.cert_file, config.key_file, error))
            return Fail("client certificate: " + error, 1);
        settings.client_cert = &client_cert;
    }
    settings.ca_file = config.ca_file;
    settings.connect.name = "pmgate-" + machine;
    if (check_only) {
        std::printf("pmgate: %s is valid (machine %s, %zu servers)\n", config_path.c_str(),
                    machine.c_str(), settings.servers.size());
        return 0;
    }

    MessagingLibrary& library = ProcessMessagingLibrary();
    if (!library.Bind())
        return Fail("the messaging library KAVIPC32.DLL is missing or incomplete", 1);
    // A gate started again right after its predecessor died finds the name still held until
    // the library notices the death (about a second): asked again for up to 5 s.
    std::unique_ptr<ServiceNode> registered;
    for (int k = 0; k < 25; ++k) {
        registered = std::make_unique<ServiceNode>(kNodeName, 0, library, SystemNodePlatform());
        if (registered->IsRegistered()) break;
        registered.reset();
        Sleep(200);
    }
    if (!registered) return Fail(std::string("could not register the node ") + kNodeName, 1);
    ServiceNode& node = *registered;

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail("Winsock did not start", 1);
    GateLink link(settings, [](const std::string& line) { TraceLine(line); });
    for (const std::string& n : config.nodes)
        link.Subscribe(remote::NodeWildcard(machine, n));
    link.Subscribe(remote::kDiscoverSubject);
    link.Subscribe(AlertPump::AckWildcard(machine));
    Gate gate(config, machine, link, node, library);
    // The alerts' id key: a secret only this machine's login knows (none without a password).
    const std::string id_key =
        settings.connect.password.empty()
            ? std::string()
            : HmacSha256Hex(settings.connect.password, "procmgr alert ids " + machine)
                  .substr(0, 16);
    AlertPump pump(machine, id_key, link, node, library);
    gate.SetAlertPump(&pump);
    QueueHooks hooks;
    hooks.connected = [&] { return link.Connected(); };
    hooks.node_running = [&](const std::string& n) {
        return library.Functions().SvcNodeExists(n.c_str()) != 0;
    };
    hooks.publish = [&](std::string lines) { link.Publish(std::move(lines)); };
    hooks.run = [&](const remote::QueuedRequest& q, QueueHooks::Done done) {
        gate.Submit(q.subject, q.request,
                    [done](remote::GateStatus status, const std::string& bytes) {
                        done(static_cast<uint32_t>(status), bytes);
                    });
    };
    hooks.now_ms = [] { return UtcNowMs(); };
    hooks.trace = [](const std::string& line) { TraceLine(line); };
    QueueRunner runner(machine, hooks);
    gate.SetQueueRunner(&runner);
    link.SetGreeting([&] {
        runner.Kick();
        return gate.PresenceLines("hello", remote::HelloSubject(machine));
    });
    runner.Start();
    TraceLine("--pmgate: machine " + machine + ", " + std::to_string(settings.servers.size()) +
              " servers");

    std::string fatal;
    std::atomic<int> link_code{0};
    const DWORD main_thread = GetCurrentThreadId();
    std::thread net([&] {
        link_code = link.Run([&](nats::Message& m) { gate.OnRequest(m); }, fatal);
        if (link_code != 0) PostThreadMessageA(main_thread, WM_QUIT, 0, 0);
    });
    // Heartbeats while a server has the connection (none are queued while it is down: the
    // hello on the next connection says the machine is back).
    std::mutex beat_lock;
    std::condition_variable beat_wake;
    bool beat_stop = false;
    std::thread beat([&] {
        std::unique_lock<std::mutex> hold(beat_lock);
        while (!WaitBeat(beat_wake, hold, config.heartbeat_s, beat_stop)) {
            if (link.Connected())
                link.Publish(gate.PresenceLines("heartbeat", remote::HeartbeatSubject(machine)));
        }
    });
    // The host's alerts: asked every 2 s, published as the stream takes them.
    std::thread alerts([&] {
        std::unique_lock<std::mutex> hold(beat_lock);
        for (unsigned tick = 0;
             !beat_wake.wait_for(hold, std::chrono::milliseconds(250), [&] { return beat_stop; });
             ++tick) {
            hold.unlock();
            if (tick % 8 == 0) pump.Poll();
            pump.Publish();
            hold.lock();
        }
    });
    node.Run(); // until kavipcctl quit pmgate, or the link gives up
    runner.Stop();
    {
        std::lock_guard<std::mutex> hold(beat_lock);
        beat_stop = true;
    }
    beat_wake.notify_all();
    beat.join();
    alerts.join();
    link.Stop();
    net.join();
    node.Unregister();
    // Forwarded commands still pending are completed by nobody now: wait briefly, then go.
    for (int k = 0; k < 50 && gate.InFlight() > 0; ++k)
        Sleep(20);
    WSACleanup();
    if (link_code != 0) return Fail(fatal, link_code);
    TraceLine("--pmgate: stopped");
    return 0;
}

} // namespace
} // namespace pm::gate

int main(int argc, char** argv) {
    const int code = pm::gate::Main(argc, argv);
    pm::ProcessTraceLog().Close();
    return code;
}
