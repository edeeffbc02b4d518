// The gate's connection to the cluster: one socket at a time to a server of the pool, TLS
// through Schannel where required, CONNECT with the credentials, the subscriptions replayed on
// every new connection, keep-alive, and reconnection with back-off after a loss. Runs on its
// own thread; Publish may be called from any thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "shared/nats/client_cert_win.h"
#include "shared/nats/client_state.h"
#include "shared/nats/protocol_parser.h"
#include "shared/nats/server_url.h"

namespace pm::gate {

struct LinkSettings {
    std::vector<nats::ServerUrl> servers;
    std::string ca_file;
    nats::ConnectOptions connect;
    const nats::ClientCertificate* client_cert = nullptr; // owned by the caller
};

class GateLink {
public:
    using MessageFn = std::function<void(nats::Message&)>;
    using TraceFn = std::function<void(const std::string&)>;

    GateLink(LinkSettings settings, TraceFn trace);
    ~GateLink();

    void Subscribe(const std::string& subject); // before Run
    // Lines sent after the subscriptions on every new connection (the gate's hello); before Run.
    void SetGreeting(std::function<std::string()> lines) { greeting_ = std::move(lines); }
    // True while a server has taken the connection.
    [[nodiscard]] bool Connected() const { return connected_.load(); }
    // Queues bytes for the server (dropped when more than 256 MiB wait); wakes the link.
    void Publish(std::string lines);
    // Largest piece for the current server.
    [[nodiscard]] size_t PieceSize() const { return piece_size_.load(); }

    // Connects and serves until Stop(); answers 0, or 3 with `fatal` set when a server refused
    // the gate (credentials, certificate): those are not retried.
    int Run(const MessageFn& on_message, std::string& fatal);
    void Stop();

private:
    enum class End { kLost, kNeverConnected, kFatal, kStopped };
    End Session(const nats::ServerUrl& url, const MessageFn& on_message, std::string& fatal);

    LinkSettings settings_;
    TraceFn trace_;
    nats::ClientState client_;
    std::atomic<size_t> piece_size_{1048576 - 1024};
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    std::function<std::string()> greeting_;
    HANDLE wake_ = nullptr;
    std::mutex out_lock_;
    std::string out_;
    std::vector<std::string> announced_;
};

} // namespace pm::gate
