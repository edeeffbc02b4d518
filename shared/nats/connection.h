// A client's connection to a NATS cluster, the one the gate and the Windows console share: one
// server of the pool at a time, INFO, TLS where the URL or the server asks for it, CONNECT
// confirmed by a PONG, subscriptions replayed on every new connection, keep-alive, reconnection
// with the pool's back-off, one reply inbox with a map of waiting requests, the server's
// permission errors matched to the requests they refuse, and flush. The socket and TLS sit
// behind a Dialer; everything here is portable and runs on the connection's own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shared/nats/client_state.h"
#include "shared/nats/protocol_parser.h"
#include "shared/nats/server_pool.h"
#include "shared/nats/server_stream.h"

namespace pm::nats {

struct ConnectionSettings {
    std::vector<ServerUrl> servers;
    ConnectOptions connect; // name, user and password; tls_required is set per connection
    KeepAlive keep_alive;
    BackOff back_off;
    uint32_t handshake_ms = 5000;
    uint32_t seed = 0; // the pool's order
    // The connection's reply inbox: requests are answered on <inbox>.<n>. The caller makes it
    // unguessable (the servers let a user hear only its own inbox prefix).
    std::string inbox = "_INBOX.pm";
    // Whether bytes queued but not yet written when a connection is lost go to the next one
    // (the gate's replies), or are dropped with the requests that wait (the console's).
    bool keep_queued_on_loss = true;
};

// An -ERR that ends every try with these credentials (not worth another server).
bool IsRefusal(const std::string& error);
// The subject an -ERR "Permissions Violation for Publish to "s"" (or "Subscription to")
// names, with `publish` telling which; false for any other error.
bool ParseViolation(const std::string& error, std::string& subject, bool& publish);

class Connection {
public:
    using MessageFn = std::function<void(Message&)>;
    using TraceFn = std::function<void(const std::string&)>;

    Connection(ConnectionSettings settings, Dialer& dialer, TraceFn trace = nullptr);
    ~Connection(); // Close()
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // A subscription, replayed on every new connection; its messages go to `on_message` on
    // the connection's thread. 0 when the subject cannot be sent. Callable at any time.
    uint64_t Subscribe(const std::string& subject, MessageFn on_message);
    void Unsubscribe(uint64_t sid);
    // Lines sent after the subscriptions on every new connection (the gate's hello).
    void SetGreeting(std::function<std::string()> lines);

    enum class Start { kConnected, kUnreachable, kRefused };
    // Starts the connection's thread and waits until a server took the connection, every
    // server failed once (kUnreachable: the thread goes on trying), or a server refused the
    // credentials or the certificate (kRefused: the thread has ended). `why` for the last two.
    Start Open(std::string& why);
    // Blocks until the connection ended for good: Close() or a refusal (then Fatal() says it).
    void WaitEnded();
    void Close();

    [[nodiscard]] bool Connected() const { return connected_.load(); }
    // The current server's max_payload (the largest message it takes).
    [[nodiscard]] int64_t MaxPayload() const { return max_payload_.load(); }
    [[nodiscard]] std::string Fatal() const;
    [[nodiscard]] uint64_t NowMs() { return dialer_.NowMs(); }

    // Queued for the server and written by the connection's thread, in order. False when the
    // subject or reply cannot be sent, or 256 MiB already wait.
    bool Publish(const std::string& subject, const std::string& reply, const std::string& payload,
                 const std::string& headers = std::string());
    bool SendLines(const std::string& lines); // whole protocol lines (the gate's batches)

    enum class Outcome {
        kAnswered,     // the reply function settled it, or quiet followed a first answer
        kTimedOut,     // no settling answer in time
        kLost,         // the connection ended while it waited (it is never sent again)
        kNotPermitted, // the server refused the publish or the inbox subscription
        kNotSent,      // not connected, or the subject cannot be sent
    };
    struct Answer {
        Outcome outcome = Outcome::kNotSent;
        std::string detail;
        size_t messages = 0; // messages the reply function saw
    };
    // One message on the request's reply subject: true settles the request. Called on the
    // connection's thread while Request waits; it must not call back into the connection.
    using ReplyFn = std::function<bool(Message&)>;
    struct Wait {
        uint32_t timeout_ms = 5000;
        uint32_t quiet_ms = 0; // >0: done this long after the last answer, once one came
    };
    // Publishes with a reply subject of this connection's inbox and waits. Waits for a
    // connection first, at most the handshake time within the timeout. Callable from many
    // threads at once.
    Answer Request(const std::string& subject, const std::string& payload, Wait wait,
                   const ReplyFn& on_reply, const std::string& headers = std::string());
    // A PING answered within `timeout_ms`: everything queued before it reached the server.
    bool Flush(uint32_t timeout_ms);

private:
    enum class End { kLost, kNeverConnected, kFatal, kStopped };
    struct Pending;
    class Sink;

    void Run();
    End Session(const ServerUrl& url, ServerPool& pool, std::string& why);
    bool Handshake(ServerStream& stream, const ServerUrl& url, Sink& sink, ProtocolParser& parser,
                   std::string& why, bool& refused);
    void Learn(ServerPool& pool, const std::vector<std::string>& announced);
    void Dispatch(Message& m);
    void OnError(const std::string& error);
    void EndRequests(Outcome outcome, const std::string& detail);
    void SetStarted(Start s, const std::string& why);
    void Trace(const std::string& line) {
        if (trace_) trace_(line);
    }

    ConnectionSettings settings_;
    Dialer& dialer_;
    TraceFn trace_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    std::atomic<int64_t> max_payload_{1048576};

    mutable std::mutex lock_; // everything below
    std::condition_variable changed_;
    ClientState client_;
    std::map<uint64_t, std::shared_ptr<MessageFn>> handlers_;
    std::function<std::string()> greeting_;
    std::string out_;
    ServerStream* stream_ = nullptr; // the current one, for Wake()
    bool started_ = false;
    bool ended_ = false;
    Start start_ = Start::kUnreachable;
    std::string start_why_;
    std::string fatal_;
    uint64_t inbox_sid_ = 0;
    uint64_t next_request_ = 1;
    std::map<uint64_t, std::shared_ptr<Pending>> requests_;
    std::deque<uint64_t> pings_; // in the order sent: 0 keep-alive, else a flush's number
    uint64_t next_flush_ = 1;
    uint64_t flushed_ = 0;    // the highest flush answered
    uint64_t flush_lost_ = 0; // flushes up to this one went with a lost connection
};

} // namespace pm::nats
