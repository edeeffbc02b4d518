// The gate's connection to the cluster: the shared client connection over Winsock and
// Schannel, with the gate's subscriptions and hello replayed on every new connection. Run
// serves until Stop(); Publish may be called from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "shared/nats/client_cert_win.h"
#include "shared/nats/connection.h"
#include "shared/nats/server_stream_win.h"

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

    void Subscribe(const std::string& subject); // before Run
    // Lines sent after the subscriptions on every new connection (the gate's hello); before Run.
    void SetGreeting(std::function<std::string()> lines) { conn_.SetGreeting(std::move(lines)); }
    // True while a server has taken the connection.
    [[nodiscard]] bool Connected() const { return conn_.Connected(); }
    // Queues bytes for the server (dropped when more than 256 MiB wait); wakes the link.
    void Publish(const std::string& lines) { conn_.SendLines(lines); }
    // Largest piece for the current server.
    [[nodiscard]] size_t PieceSize() const;

    // Connects and serves until Stop(); answers 0, or 3 with `fatal` set when a server refused
    // the gate (credentials, certificate): those are not retried.
    int Run(const MessageFn& on_message, std::string& fatal);
    void Stop() { conn_.Close(); }

private:
    static nats::ConnectionSettings Settings(const LinkSettings& s);

    nats::WinDialer dialer_;
    nats::Connection conn_;
    std::atomic<const MessageFn*> on_message_{nullptr};
};

} // namespace pm::gate
