// The client's side of one NATS connection, without the socket: the lines it sends (CONNECT
// with user and password, SUB/UNSUB, PUB/HPUB, PING/PONG), its subscriptions, replayed after a
// reconnect, and the keep-alive that declares a silent server lost. The edge writes what the
// calls return and feeds what it reads to a ProtocolParser. Portable: no OS code here.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace pm::nats {

struct ConnectOptions {
    std::string user;
    std::string password;
    std::string name = "pmgate";
    bool tls = false; // tls_required in CONNECT
};

struct KeepAlive {
    uint32_t interval_ms = 10000; // a PING after this much quiet
    int max_outstanding = 2;      // PINGs without PONG before the server counts as lost
};

class ClientState {
public:
    explicit ClientState(KeepAlive keep_alive = KeepAlive()) : keep_(keep_alive) {}

    // "CONNECT {...}\r\n" (verbose off, headers and no_responders on) followed by "PING\r\n":
    // the PONG to that PING confirms the server accepted the CONNECT.
    std::string ConnectLines(const ConnectOptions& options) const;

    // A new subscription; its sid. The line to send while connected: SubLine(sid).
    uint64_t Subscribe(const std::string& subject);
    bool Unsubscribe(uint64_t sid, std::string& line); // false: no such sid
    std::string SubLine(uint64_t sid) const;
    // Every subscription's SUB line, in sid order: what a new connection is sent after CONNECT.
    std::string ResubscribeLines() const;
    [[nodiscard]] bool HasSid(uint64_t sid) const { return subs_.count(sid) != 0; }
    [[nodiscard]] size_t SubscriptionCount() const { return subs_.size(); }

    // "PUB subject [reply] n\r\n<payload>\r\n" and the HPUB form with a header block.
    static std::string PubLines(const std::string& subject, const std::string& reply,
                                const std::string& payload);
    static std::string HPubLines(const std::string& subject, const std::string& reply,
                                 const std::string& headers, const std::string& payload);
    // A subject or reply that can be sent: not empty, no blanks or control bytes.
    static bool IsSendableSubject(const std::string& subject);

    // Keep-alive, with a monotonic clock in milliseconds.
    void Connected(uint64_t now_ms);
    void HeardFromServer(uint64_t now_ms); // any bytes read
    void PongReceived();
    enum class Tick { kNothing, kSendPing, kStale };
    Tick OnTick(uint64_t now_ms);

private:
    KeepAlive keep_;
    std::map<uint64_t, std::string> subs_;
    uint64_t next_sid_ = 1;
    uint64_t last_heard_ = 0;
    uint64_t last_ping_ = 0;
    int outstanding_ = 0;
};

} // namespace pm::nats
