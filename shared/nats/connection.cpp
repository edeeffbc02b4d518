// The connection's thread: pick a server, handshake, serve, and after a loss the next server.
#include "shared/nats/connection.h"

#include <chrono>
#include <cstdlib>

#include "shared/nats/host_names.h"
#include "shared/nats/server_info.h"

namespace pm::nats {
namespace {

constexpr size_t kMaxQueued = 256u * 1024 * 1024;
constexpr uint32_t kTickMs = 500;

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Ms(uint64_t ms) {
    return std::chrono::milliseconds(ms);
}

} // namespace

bool IsRefusal(const std::string& e) {
    return e.find("Authorization Violation") != std::string::npos ||
           e.find("Authentication") != std::string::npos;
}

bool ParseViolation(const std::string& error, std::string& subject, bool& publish) {
    static const std::string kPub = "Permissions Violation for Publish to ";
    static const std::string kSub = "Permissions Violation for Subscription to ";
    size_t at = error.find(kPub);
    publish = at != std::string::npos;
    if (publish) {
        at += kPub.size();
    } else {
        at = error.find(kSub);
        if (at == std::string::npos) return false;
        at += kSub.size();
    }
    // The server quotes the subject; older servers may not.
    std::string s = error.substr(at);
    if (!s.empty() && s.front() == '"') {
        const size_t close = s.find('"', 1);
        s = close == std::string::npos ? s.substr(1) : s.substr(1, close - 1);
    } else {
        s = s.substr(0, s.find(' '));
    }
    if (s.empty()) return false;
    subject = s;
    return true;
}

struct Connection::Pending {
    std::string subject;
    const ReplyFn* on_reply = nullptr;
    std::condition_variable settled;
    bool done = false;
    Outcome outcome = Outcome::kTimedOut;
    std::string detail;
    size_t messages = 0;
    Clock::time_point last;
};

class Connection::Sink final : public ProtocolSink {
public:
    explicit Sink(Connection& c) : c_(c) {}
    void OnInfo(const std::string& json) override {
        ServerInfo i;
        if (ParseServerInfo(json, i)) {
            info = i;
            have_info = true;
            new_info = true;
        }
    }
    void OnMessage(Message& m) override { c_.Dispatch(m); }
    void OnPing() override { pings++; }
    void OnPong() override { pongs++; }
    void OnError(const std::string& text) override { errors.push_back(text); }

    ServerInfo info;
    bool have_info = false;
    bool new_info = false;
    int pings = 0;
    int pongs = 0;
    std::vector<std::string> errors;

private:
    Connection& c_;
};

Connection::Connection(ConnectionSettings settings, Dialer& dialer, TraceFn trace)
    : settings_(std::move(settings)), dialer_(dialer), trace_(std::move(trace)),
      client_(settings_.keep_alive) {}

Connection::~Connection() {
    Close();
}

uint64_t Connection::Subscribe(const std::string& subject, MessageFn on_message) {
    if (!ClientState::IsSendableSubject(subject)) return 0;
    std::lock_guard<std::mutex> hold(lock_);
    const uint64_t sid = client_.Subscribe(subject);
    handlers_[sid] = std::make_shared<MessageFn>(std::move(on_message));
    if (connected_ && stream_ != nullptr) {
        out_ += client_.SubLine(sid);
        stream_->Wake();
    }
    return sid;
}

void Connection::Unsubscribe(uint64_t sid) {
    std::lock_guard<std::mutex> hold(lock_);
    std::string line;
    if (!client_.Unsubscribe(sid, line)) return;
    handlers_.erase(sid);
    if (connected_ && stream_ != nullptr) {
        out_ += line;
        stream_->Wake();
    }
}

void Connection::SetGreeting(std::function<std::string()> lines) {
    std::lock_guard<std::mutex> hold(lock_);
    greeting_ = std::move(lines);
}

Connection::Start Connection::Open(std::string& why) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!thread_.joinable() && !ended_) thread_ = std::thread([this] { Run(); });
    changed_.wait(hold, [this] { return started_; });
    why = start_why_;
    return start_;
}

void Connection::WaitEnded() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return ended_ || !thread_.joinable(); });
}

void Connection::Close() {
    stop_ = true;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stream_ != nullptr) stream_->Wake();
    }
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::string Connection::Fatal() const {
    std::lock_guard<std::mutex> hold(lock_);
    return fatal_;
}

bool Connection::SendLines(const std::string& lines) {
    if (lines.empty()) return true;
    std::lock_guard<std::mutex> hold(lock_);
    if (out_.size() + lines.size() > kMaxQueued) return false;
    // One wake-up per batch, not per message: the thread takes everything queued at once.
    const bool wake = out_.empty();
    out_ += lines;
    if (wake && stream_ != nullptr) stream_->Wake();
    return true;
}

bool Connection::Publish(const std::string& subject, const std::string& reply,
                         const std::string& payload, const std::string& headers) {
    if (!ClientState::IsSendableSubject(subject) ||
        (!reply.empty() && !ClientState::IsSendableSubject(reply)))
        return false;
    return SendLines(headers.empty() ? ClientState::PubLines(subject, reply, payload)
                                     : ClientState::HPubLines(subject, reply, headers, payload));
}

Connection::Answer Connection::Request(const std::string& subject, const std::string& payload,
                                       Wait wait, const ReplyFn& on_reply,
                                       const std::string& headers) {
    Answer answer;
    if (!ClientState::IsSendableSubject(subject)) {
        answer.detail = "the subject cannot be sent: " + subject;
        return answer;
    }
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + Ms(wait.timeout_ms);
    std::unique_lock<std::mutex> hold(lock_);
    const uint32_t connect_ms =
        wait.timeout_ms < settings_.handshake_ms ? wait.timeout_ms : settings_.handshake_ms;
    changed_.wait_until(hold, start + Ms(connect_ms),
                        [this] { return (connected_ && stream_ != nullptr) || ended_; });
    if (!connected_ || stream_ == nullptr) {
        answer.detail = ended_ && !fatal_.empty() ? fatal_ : "not connected to any server";
        return answer;
    }
    if (inbox_sid_ == 0) {
        inbox_sid_ = client_.Subscribe(settings_.inbox + ".*");
        out_ += client_.SubLine(inbox_sid_);
    }
    const uint64_t id = next_request_++;
    auto pending = std::make_shared<Pending>();
    pending->subject = subject;
    pending->on_reply = &on_reply;
    requests_[id] = pending;
    // Subscribed in the same write, before the request: no reply can come first.
    const std::string reply = settings_.inbox + "." + std::to_string(id);
    out_ += headers.empty() ? ClientState::PubLines(subject, reply, payload)
                            : ClientState::HPubLines(subject, reply, headers, payload);
    stream_->Wake();
    for (;;) {
        if (pending->done) break;
        Clock::time_point until = deadline;
        if (wait.quiet_ms > 0 && pending->messages > 0) {
            const Clock::time_point quiet = pending->last + Ms(wait.quiet_ms);
            if (quiet < until) until = quiet;
        }
        if (Clock::now() >= until) {
            pending->outcome = pending->messages > 0 && wait.quiet_ms > 0 ? Outcome::kAnswered
                                                                          : Outcome::kTimedOut;
            break;
        }
        pending->settled.wait_until(hold, until);
    }
    requests_.erase(id);
    answer.outcome = pending->outcome;
    answer.detail = pending->detail;
    answer.messages = pending->messages;
    return answer;
}

bool Connection::Flush(uint32_t timeout_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!connected_ || stream_ == nullptr) return false;
    const uint64_t id = next_flush_++;
    out_ += "PING\r\n";
    pings_.push_back(id);
    stream_->Wake();
    return changed_.wait_for(hold, Ms(timeout_ms), [&] {
        return flushed_ >= id || flush_lost_ >= id || ended_;
    }) && flushed_ >= id;
}

void Connection::Dispatch(Message& m) {
    const uint64_t sid = std::strtoull(m.sid.c_str(), nullptr, 10);
    std::shared_ptr<MessageFn> handler;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (sid != 0 && sid == inbox_sid_) {
            const size_t dot = m.subject.rfind('.');
            const uint64_t id = dot == std::string::npos
                                    ? 0
                                    : std::strtoull(m.subject.c_str() + dot + 1, nullptr, 10);
            auto it = requests_.find(id);
            if (it == requests_.end() || it->second->done) return; // late: its waiter left
            Pending& p = *it->second;
            p.messages++;
            p.last = Clock::now();
            if ((*p.on_reply)(m)) {
                p.done = true;
                p.outcome = Outcome::kAnswered;
            }
            p.settled.notify_all();
            return;
        }
        auto it = handlers_.find(sid);
        if (it == handlers_.end()) return; // unsubscribed meanwhile
        handler = it->second;
    }
    (*handler)(m);
}

void Connection::OnError(const std::string& error) {
    Trace("!!server: " + error);
    std::string subject;
    bool publish = false;
    if (!ParseViolation(error, subject, publish)) return;
    std::lock_guard<std::mutex> hold(lock_);
    const bool inbox = !publish && subject == settings_.inbox + ".*";
    for (auto& r : requests_) {
        Pending& p = *r.second;
        if (p.done || !(inbox || (publish && p.subject == subject))) continue;
        p.done = true;
        p.outcome = Outcome::kNotPermitted;
        p.detail = error;
        p.settled.notify_all();
    }
}

void Connection::EndRequests(Outcome outcome, const std::string& detail) {
    for (auto& r : requests_) {
        Pending& p = *r.second;
        if (p.done) continue;
        p.done = true;
        p.outcome = outcome;
        p.detail = detail;
        p.settled.notify_all();
    }
}

void Connection::SetStarted(Start s, const std::string& why) {
    std::lock_guard<std::mutex> hold(lock_);
    if (started_) return;
    started_ = true;
    start_ = s;
    start_why_ = why;
    changed_.notify_all();
}

void Connection::Run() {
    ServerPool pool(settings_.servers, settings_.seed, settings_.back_off);
    size_t failed_first = 0;
    while (!stop_ && pool.Size() > 0) {
        const ServerPool::Pick pick = pool.Next(dialer_.NowMs());
        if (pick.wait_ms > 0) {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait_for(hold, Ms(pick.wait_ms > 1000 ? 1000 : pick.wait_ms),
                              [this] { return stop_.load(); });
            continue;
        }
        const ServerUrl url = pool.Url(pick.index);
        std::string why;
        const End end = Session(url, pool, why);
        if (end == End::kFatal) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                fatal_ = why;
            }
            SetStarted(Start::kRefused, why);
            break;
        }
        if (end == End::kStopped) break;
        if (end == End::kLost) pool.Succeeded(pick.index);
        pool.Failed(pick.index, dialer_.NowMs());
        if (end == End::kNeverConnected && ++failed_first >= pool.Size())
            SetStarted(Start::kUnreachable, "no server could be reached (" + why + ")");
    }
    SetStarted(Start::kUnreachable, "the connection was closed");
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
    EndRequests(Outcome::kLost, fatal_.empty() ? "the connection was closed" : fatal_);
    flush_lost_ = next_flush_ - 1;
    changed_.notify_all();
}

bool Connection::Handshake(ServerStream& stream, const ServerUrl& url, Sink& sink,
                           ProtocolParser& parser, std::string& why, bool& refused) {
    const uint64_t deadline = dialer_.NowMs() + settings_.handshake_ms;
    auto read = [&](const char* what) {
        const uint64_t now = dialer_.NowMs();
        std::string in, ended;
        const ServerStream::Read r =
            now >= deadline ? ServerStream::Read::kIdle
                            : stream.ReadSome(in, static_cast<uint32_t>(deadline - now), ended);
        if (r == ServerStream::Read::kClosed || r == ServerStream::Read::kBroken ||
            (r == ServerStream::Read::kIdle && dialer_.NowMs() >= deadline)) {
            why = url.Text() + ": " + what;
            return false;
        }
        if (!parser.Feed(reinterpret_cast<const uint8_t*>(in.data()), in.size(), sink)) {
            why = url.Text() + ": " + parser.Error();
            return false;
        }
        return true;
    };
    // The INFO line comes in clear; nothing follows it until the client speaks.
    while (!sink.have_info)
        if (!read("no INFO from the server")) return false;
    bool tls = false;
    if (url.tls || sink.info.tls_required) {
        if (!sink.info.tls_required && !sink.info.tls_available) {
            why = url.Text() + ": the server offers no TLS";
            refused = true;
            return false;
        }
        std::string error;
        if (!stream.StartTls(url.host, error, refused)) {
            why = url.Text() + ": " + error;
            return false;
        }
        tls = true;
    } else if (!IsLoopbackHost(url.host)) {
        why = url.Text() + ": refusing a plain connection to a server that is not on the loopback";
        refused = true;
        return false;
    }
    // CONNECT and a PING: the PONG says the server took the credentials.
    ConnectOptions options = settings_.connect;
    options.tls = tls;
    std::string connect;
    {
        std::lock_guard<std::mutex> hold(lock_);
        connect = client_.ConnectLines(options);
    }
    if (!stream.Write(connect)) {
        why = url.Text() + ": the connection broke during CONNECT";
        return false;
    }
    auto refusal = [&] {
        for (const std::string& e : sink.errors)
            if (IsRefusal(e)) {
                why = url.Text() + ": the server refused the credentials (" + e + ")";
                return refused = true;
            }
        return false;
    };
    while (sink.pongs == 0) {
        if (refusal()) return false;
        const bool ok = read("no answer to CONNECT");
        if (refusal() || !ok) return false;
    }
    sink.pongs = 0;
    for (const std::string& e : sink.errors)
        Trace("!!server: " + e);
    sink.errors.clear();
    return true;
}

void Connection::Learn(ServerPool& pool, const std::vector<std::string>& announced) {
    // Servers a cluster announces are followed only over TLS: a plain connection stays where
    // it was pointed (on the loopback).
    bool tls = false;
    for (const ServerUrl& u : settings_.servers)
        tls = tls || u.tls;
    if (tls && pool.AddAnnounced(announced) > 0)
        Trace("--pool now holds " + std::to_string(pool.Size()) + " servers");
}

Connection::End Connection::Session(const ServerUrl& url, ServerPool& pool, std::string& why) {
    std::unique_ptr<ServerStream> stream = dialer_.Dial(url, !url.tls, why);
    if (!stream) {
        Trace("!!connect " + url.Text() + ": " + why);
        return End::kNeverConnected;
    }
    Sink sink(*this);
    ProtocolParser parser;
    bool refused = false;
    if (!Handshake(*stream, url, sink, parser, why, refused)) {
        if (refused) return End::kFatal;
        Trace("!!connect " + url.Text() + ": " + why);
        return End::kNeverConnected;
    }
    max_payload_ = sink.info.max_payload;
    Learn(pool, sink.info.connect_urls);
    sink.new_info = false;

    std::string out;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!settings_.keep_queued_on_loss) out_.clear();
        out = client_.ResubscribeLines();
        if (greeting_) out += greeting_();
        out += out_;
        out_.clear();
        stream_ = stream.get();
        connected_ = true;
        client_.Connected(dialer_.NowMs());
    }
    changed_.notify_all();
    Trace("--connected to " + url.Text() + " (" + sink.info.server_name + "), max_payload " +
          std::to_string(sink.info.max_payload));
    SetStarted(Start::kConnected, std::string());

    End end = End::kLost;
    for (;;) {
        if (!stream->Write(out)) {
            why = "sending failed";
            break;
        }
        out.clear();
        if (stop_) {
            end = End::kStopped;
            break;
        }
        std::string in;
        const ServerStream::Read r = stream->ReadSome(in, kTickMs, why);
        if (r == ServerStream::Read::kClosed || r == ServerStream::Read::kBroken) break;
        if (r == ServerStream::Read::kData) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                client_.HeardFromServer(dialer_.NowMs());
            }
            if (!parser.Feed(reinterpret_cast<const uint8_t*>(in.data()), in.size(), sink)) {
                why = parser.Error();
                break;
            }
        }
        for (; sink.pings > 0; --sink.pings)
            out += "PONG\r\n";
        bool fatal = false;
        for (const std::string& e : sink.errors) {
            OnError(e);
            if (IsRefusal(e)) {
                why = url.Text() + ": the server refused the credentials (" + e + ")";
                fatal = true;
            }
        }
        sink.errors.clear();
        if (fatal) {
            end = End::kFatal;
            break;
        }
        if (sink.new_info) {
            sink.new_info = false;
            max_payload_ = sink.info.max_payload;
            Learn(pool, sink.info.connect_urls);
        }
        std::lock_guard<std::mutex> hold(lock_);
        for (; sink.pongs > 0; --sink.pongs) {
            client_.PongReceived();
            if (pings_.empty()) continue;
            if (pings_.front() != 0) flushed_ = pings_.front();
            pings_.pop_front();
            changed_.notify_all();
        }
        out += out_;
        out_.clear();
        // After what was queued: the PINGs go out in the order pings_ holds them.
        const ClientState::Tick tick = client_.OnTick(dialer_.NowMs());
        if (tick == ClientState::Tick::kStale) {
            why = "no PONG to two PINGs";
            break;
        }
        if (tick == ClientState::Tick::kSendPing) {
            out += "PING\r\n";
            pings_.push_back(0);
        }
    }
    if (end != End::kStopped && end != End::kFatal) Trace("!!" + url.Text() + ": " + why);
    std::lock_guard<std::mutex> hold(lock_);
    stream_ = nullptr;
    connected_ = false;
    pings_.clear();
    flush_lost_ = next_flush_ - 1;
    // A request that waited on this connection ends here: it is never sent again.
    EndRequests(Outcome::kLost, why.empty() ? "connection lost" : why);
    if (!settings_.keep_queued_on_loss) out_.clear();
    changed_.notify_all();
    return end;
}

} // namespace pm::nats
