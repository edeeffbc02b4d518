// Requests, gathering, presence and the alert stream over one nats::Connection.
#include "outside/pmconsole/fleet/connection_bus.h"

#include <chrono>
#include <mutex>
#include <random>

#include "outside/pmconsole/fleet/fleet_queue.h"
#include "outside/pmconsole/fleet/held_messages.h"
#include "outside/pmconsole/remote_reply.h"
#include "shared/nats/connection.h"
#include "shared/remote/alerts.h"
#include "shared/remote/operations.h"
#include "shared/remote/presence.h"
#include "shared/remote/queue.h"
#include "shared/remote/subjects.h"

namespace pm::console {
namespace {

// The server's own word ("NATS/1.0 503", 404, 408...) rather than a message; with `code`, that
// status only.
bool IsStatus(const nats::Message& m, const char* code = nullptr) {
    return m.payload.empty() && m.headers.compare(0, 9, "NATS/1.0 ") == 0 &&
           (code == nullptr || m.headers.compare(9, 3, code) == 0);
}

class ConnectionBus final : public RequestTransport, public FleetBus {
public:
    ConnectionBus(std::unique_ptr<nats::Dialer> dialer, std::string machine)
        : dialer_(std::move(dialer)), machine_(std::move(machine)) {}
    ~ConnectionBus() override {
        if (conn_) conn_->Close(); // no handler runs once the members go
    }
    ConnectionBus(const ConnectionBus&) = delete;
    ConnectionBus& operator=(const ConnectionBus&) = delete;

    bool Connect(const RemoteSettings& s, const std::string& password, std::string& error) {
        nats::ConnectionSettings c;
        for (const std::string& text : s.servers) {
            nats::ServerUrl url;
            if (!nats::ParseServerUrl(text, url, error)) return false;
            c.servers.push_back(url);
        }
        std::random_device device;
        c.seed = device(); // spreads the consoles over the servers
        c.connect.user = s.user;
        c.connect.password = password;
        c.connect.name = "pmconsole";
        // Each user hears only its own inbox (the servers' permissions say the same).
        prefix_ = remote::InboxPrefix(s.user);
        c.inbox = remote::NewInbox(prefix_);
        c.keep_queued_on_loss = false; // a request is never sent twice
        user_ = s.user;
        conn_ = std::make_unique<nats::Connection>(c, *dialer_);
        std::string why;
        if (conn_->Open(why) == nats::Connection::Start::kConnected) return true;
        error = why;
        return false;
    }

    WireReply Exchange(const WireRequest& request) override {
        return ExchangeWith(machine_, request);
    }

    WireReply ExchangeWith(const std::string& machine, const WireRequest& request) override {
        const std::string subject =
            remote::SubjectForRequest(machine, request.node, request.code, request.operation);
        RemoteReplyCollector collector;
        WireReply reply;
        const nats::Connection::Answer a =
            conn_->Request(subject, request.message, {request.timeout_ms, 0},
                           [&](nats::Message& m) { return collector.Take(m, reply); });
        switch (a.outcome) {
        case nats::Connection::Outcome::kAnswered:
            return reply;
        case nats::Connection::Outcome::kTimedOut:
            return collector.TimedOut();
        case nats::Connection::Outcome::kLost:
            reply.outcome = WireOutcome::kConnectionLost;
            break;
        case nats::Connection::Outcome::kNotPermitted:
            reply.outcome = WireOutcome::kNotPermitted;
            break;
        case nats::Connection::Outcome::kNotSent:
            reply.outcome = WireOutcome::kNotSent;
            break;
        }
        reply.detail = a.detail;
        return reply;
    }

    std::vector<std::string> Gather(const std::string& subject, const std::string& payload,
                                    uint32_t timeout_ms, uint32_t quiet_ms, size_t limit) override {
        std::vector<std::string> answers;
        if (limit == 0) return answers;
        conn_->Request(subject, payload, {timeout_ms, quiet_ms}, [&](nats::Message& m) {
            if (!IsStatus(m, "503")) answers.push_back(std::move(m.payload));
            return answers.size() >= limit;
        });
        return answers;
    }

    bool AskWithHeaders(const std::string& subject, const std::string& headers,
                        const std::string& payload, uint32_t timeout_ms,
                        std::string& answer) override {
        bool got = false;
        conn_->Request(
            subject, payload, {timeout_ms, 0},
            [&](nats::Message& m) {
                if (IsStatus(m, "503")) return false;
                answer = std::move(m.payload);
                got = true;
                return true;
            },
            headers);
        return got;
    }

    bool AskPresence() override {
        return SubscribePresence() && conn_->Publish(remote::kDiscoverSubject, "", "{}");
    }

    bool NextPresence(std::string& subject, std::string& payload, uint32_t wait_ms) override {
        if (!SubscribePresence()) return false;
        nats::Message m;
        if (!presence_.Take(m, wait_ms)) return false;
        subject = std::move(m.subject);
        payload = std::move(m.payload);
        return true;
    }

    bool SetupAlerts(uint32_t replicas, std::string& error) override {
        return SetupAlertStream(*this, replicas, error);
    }

    bool ReadAlerts(const AlertReading& reading, const AlertSink& each,
                    std::string& error) override {
        return reading.since_ms != 0 ? ReadFromTime(reading, each, error)
                                     : ReadUnread(reading, each, error);
    }

    uint64_t NowMs() override { return dialer_->NowMs(); }
    std::string User() const override { return user_; }

private:
    bool SubscribePresence() {
        std::lock_guard<std::mutex> hold(lock_);
        if (presence_subscribed_) return true;
        auto put = [this](nats::Message& m) { presence_.Put(m); };
        presence_subscribed_ = conn_->Subscribe(remote::kHelloWildcard, put) != 0 &&
                               conn_->Subscribe(remote::kHeartbeatWildcard, put) != 0;
        return presence_subscribed_;
    }

    // The JetStream API's answer to a consumer's creation; false with one line.
    bool CreateConsumer(const std::string& subject, const std::string& config, std::string& error) {
        std::string description;
        uint64_t code = 0;
        const std::vector<std::string> got = Gather(subject, config, 5000, 0, 1);
        if (got.empty()) {
            error = "not permitted to read the stream, or no server has JetStream";
            return false;
        }
        if (remote::ApiError(got[0], description, code)) {
            error = code == 10059 ? std::string("the stream ") + remote::kAlertStream +
                                        " does not exist: pmconsole fleet setup"
                                  : "cannot read the stream: " + description;
            return false;
        }
        return true;
    }

    // What this user has not read yet: its durable consumer, pulled in batches, each alert
    // acknowledged once shown (those not shown come again).
    bool ReadUnread(const AlertReading& reading, const AlertSink& each, std::string& error) {
        const std::string durable = remote::AlertDurableName(user_);
        const std::string api = "$JS.API.CONSUMER.";
        if (!CreateConsumer(api + "DURABLE.CREATE." + remote::kAlertStream + "." + durable,
                            remote::AlertDurableJson(user_), error))
            return false;
        const std::string next = api + "MSG.NEXT." + remote::kAlertStream + "." + durable;
        // Pulled messages keep their own subjects: they come on a subscription of this
        // reading's (not the request inbox, whose replies are told apart by subject).
        auto held = std::make_shared<HeldMessages>();
        const std::string deliver = remote::NewInbox(prefix_);
        const uint64_t sid = conn_->Subscribe(deliver, [held](nats::Message& m) { held->Put(m); });
        uint64_t last = NowMs();
        bool more = sid != 0, pulling = false;
        while (more) {
            if (!pulling) {
                pulling = conn_->Publish(next, deliver, "{\"batch\":256,\"expires\":500000000}");
                if (!pulling) {
                    error = "reading the stream failed: not connected";
                    break;
                }
            }
            nats::Message m;
            if (!held->Take(m, 2000)) {
                pulling = false; // the pull was lost with a connection: ask again
                if (!conn_->Connected()) {
                    error = "reading the stream failed: the connection was lost";
                    break;
                }
                continue;
            }
            if (IsStatus(m)) { // 404, 408: this pull is over
                pulling = false;
                if (!reading.follow && NowMs() - last >= reading.idle_ms) break;
            } else {
                last = NowMs();
                more = each(m.subject, m.payload);
                conn_->Publish(m.reply, "", "+ACK");
            }
            if (more && reading.stopped && reading.stopped()) break;
        }
        conn_->Unsubscribe(sid);
        conn_->Flush(2000); // the acknowledgements reach the server before the reading ends
        return error.empty();
    }

    // From a time: a consumer of this reading only, delivering into this user's inbox, gone
    // with the reading (nothing to acknowledge, nothing another user's rights could reach).
    bool ReadFromTime(const AlertReading& reading, const AlertSink& each, std::string& error) {
        // Shared with the handler, which may still run for a moment after the unsubscribe.
        auto held = std::make_shared<HeldMessages>();
        const std::string deliver = remote::NewInbox(prefix_);
        const uint64_t sid = conn_->Subscribe(deliver, [held](nats::Message& m) { held->Put(m); });
        if (sid == 0 || !conn_->Flush(5000)) {
            error = "cannot subscribe for the reading";
            conn_->Unsubscribe(sid);
            return false;
        }
        const bool made =
            CreateConsumer(std::string("$JS.API.CONSUMER.CREATE.") + remote::kAlertStream,
                           remote::AlertFromTimeJson(reading.since_ms, deliver), error);
        uint64_t last = NowMs();
        for (bool more = made; more;) {
            nats::Message m;
            if (held->Take(m, 500)) {
                if (IsStatus(m)) continue; // not an alert
                last = NowMs();
                more = each(m.subject, m.payload);
            } else if (!reading.follow && NowMs() - last >= reading.idle_ms) {
                break;
            }
            if (more && reading.stopped && reading.stopped()) break;
        }
        conn_->Unsubscribe(sid);
        return made;
    }

    std::unique_ptr<nats::Dialer> dialer_;
    std::unique_ptr<nats::Connection> conn_;
    std::string machine_;
    std::string user_;
    std::string prefix_;
    std::mutex lock_;
    bool presence_subscribed_ = false;
    HeldMessages presence_;
};

} // namespace

std::unique_ptr<RequestTransport> ConnectOwn(const RemoteSettings& settings,
                                             const std::string& password,
                                             std::unique_ptr<nats::Dialer> dialer,
                                             std::string& error) {
    auto bus = std::make_unique<ConnectionBus>(std::move(dialer), settings.machine);
    if (!bus->Connect(settings, password, error)) return nullptr;
    return bus;
}

} // namespace pm::console
