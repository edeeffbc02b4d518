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
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "outside/pmgate/agent_hands.h"
#include "outside/pmgate/alert_pump.h"
#include "outside/pmgate/gate_core.h"
#include "outside/pmgate/gate_link_win.h"
#include "outside/pmgate/gate_timers.h"
#include "outside/pmgate/keyed_hash_win.h"
#include "outside/pmgate/node_pipes_win.h"
#include "outside/pmgate/policy_runner.h"
#include "outside/pmgate/queue_runner.h"
#include "outside/pmgate/service_names_win.h"
#include "shared/base/small_file.h"
#include "shared/node/service_node.h"
#include "shared/node/trace_log.h"
#include "shared/remote/gate_config.h"
#include "shared/remote/presence.h"
#include "shared/remote/subjects.h"

namespace pm::gate {
namespace {

constexpr const char* kNodeName = "pmgate";
constexpr const char* kGateVersion = "1.2";

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

// The gate's link as the core's bus: each message as protocol lines.
class LinkBus final : public GateBus {
public:
    explicit LinkBus(GateLink& link) : link_(link) {}
    [[nodiscard]] bool Connected() const override { return link_.Connected(); }
    void Publish(const BusMessage& m) override { link_.Publish(BusLines(m)); }
    [[nodiscard]] size_t PieceSize() const override { return link_.PieceSize(); }

private:
    GateLink& link_;
};

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
    link.Subscribe(PolicyRunner::WatchSubject());
    LinkBus bus(link);
    NodePipes pipes(node, library, ProgramDir());
    SystemClock clock;
    const GateCore::TraceFn trace_line = [](const std::string& line) { TraceLine(line); };
    GateSettings gate_settings;
    gate_settings.machine = machine;
    gate_settings.gate_version = kGateVersion;
    gate_settings.rules.nodes = config.nodes;
    gate_settings.rules.allow = config.allow;
    gate_settings.max_in_flight = config.max_in_flight;
    gate_settings.heartbeat_s = config.heartbeat_s;
    gate_settings.trace_requests = config.trace;
    GateCore gate(gate_settings, bus, pipes, clock, trace_line);
    const CngKeyedHash hash;
    AlertPump pump(machine, AlertIds(hash, settings.connect.password, machine), bus, pipes, clock,
                   trace_line, config_path + ".alerts");
    gate.SetAlertPump(&pump);
    QueueRunner runner(machine, gate.MakeQueueHooks());
    gate.SetQueueRunner(&runner);
    AgentHands hands(pipes, gate_settings.rules, &ReadServiceNames);
    PolicyRunner policies(machine, hands.Hands(), gate.MakePolicyHooks());
    gate.SetPolicyRunner(&policies);
    link.SetGreeting([&] { return BusLines(gate.Hello()); });
    runner.Start();
    policies.Start();
    TraceLine("--pmgate: machine " + machine + ", " + std::to_string(settings.servers.size()) +
              " servers");

    std::string fatal;
    std::atomic<int> link_code{0};
    const DWORD main_thread = GetCurrentThreadId();
    std::thread net([&] {
        link_code = link.Run([&](nats::Message& m) { gate.OnMessage(m); }, fatal);
        if (link_code != 0) PostThreadMessageA(main_thread, WM_QUIT, 0, 0);
    });
    GateTimers timers(gate, pump, config.heartbeat_s);
    timers.Start();
    node.Run(); // until kavipcctl quit pmgate, or the link gives up
    runner.Stop();
    hands.Cancel(); // a round under way waits for no node now
    policies.Stop();
    timers.Stop();
    link.Stop();
    net.join();
    node.Unregister();
    pipes.Stop(); // what was still queued fails to send now (the node is unregistered)
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
