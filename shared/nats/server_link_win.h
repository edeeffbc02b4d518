// One connection to one NATS server from Windows: the socket (plain only to a loopback
// address), the server's INFO, TLS through Schannel where the URL or the server asks for it,
// CONNECT with the credentials confirmed by a PONG, then reads fed to the protocol parser and
// sends of whole lines. The gate and the Windows console both build on it; what they do with
// the events (keep-alive, subscriptions, replies) stays with them.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shared/nats/client_state.h"
#include "shared/nats/protocol_parser.h"
#include "shared/nats/server_info.h"
#include "shared/nats/server_url.h"

namespace pm::nats {

class ClientCertificate;
class TlsChannel;

// What the server's lines said since the owner last looked; messages go straight to
// `on_message` when set.
struct LinkEvents final : public ProtocolSink {
    void OnInfo(const std::string& json) override;
    void OnMessage(Message& m) override;
    void OnPing() override { pings++; }
    void OnPong() override { pongs++; }
    void OnError(const std::string& text) override { errors.push_back(text); }

    std::function<void(Message&)> on_message;
    ServerInfo info;
    bool have_info = false;
    bool new_info = false; // an INFO came since the owner last cleared it
    int pings = 0;
    int pongs = 0;
    std::vector<std::string> errors;
};

class ServerLink {
public:
    ServerLink();
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;
    ~ServerLink();

    enum class Open {
        kOk,          // connected, the CONNECT confirmed; reads signal ReadEvent()
        kUnreachable, // no connection, no INFO, or no answer: another server may do
        kRefused,     // the server refused this client (credentials, certificate, no TLS)
    };
    // Connects and sends `client`'s CONNECT with `options` (tls_required set as the connection
    // turned out), within `handshake_ms`; TLS offers `client_cert` when there is one. `why`
    // holds one line for anything but kOk.
    Open Start(const ServerUrl& url, const std::string& ca_file, const ClientState& client,
               ConnectOptions options, DWORD handshake_ms, std::string& why,
               const ClientCertificate* client_cert = nullptr);

    // Sends everything (encrypted when TLS); false when the connection failed.
    bool Send(const std::string& bytes);

    // Signalled when bytes or the close arrived; ReadAvailable() then takes them.
    [[nodiscard]] HANDLE ReadEvent() const { return event_; }
    enum class Read { kOk, kClosed, kBroken };
    // Reads what is there and feeds it to the parser (events in Events()). `why` says how the
    // connection ended for kClosed and kBroken.
    Read ReadAvailable(std::string& why);

    [[nodiscard]] LinkEvents& Events() { return events_; }
    [[nodiscard]] const ServerInfo& Info() const { return events_.info; }
    [[nodiscard]] bool Encrypted() const { return tls_ != nullptr; }

    // An -ERR that ends every try with these credentials (not worth another server).
    static bool IsRefusal(const std::string& error);

private:
    bool Feed(const char* data, size_t n);

    SOCKET socket_ = INVALID_SOCKET;
    WSAEVENT event_ = WSA_INVALID_EVENT;
    std::unique_ptr<TlsChannel> tls_;
    std::string encrypted_; // bytes read but not yet a whole TLS record
    ProtocolParser parser_;
    LinkEvents events_;
};

} // namespace pm::nats
