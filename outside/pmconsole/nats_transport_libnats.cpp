// The remote path over libnats (the NATS C client, TLS through OpenSSL inside it).
#include <nats/nats.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "outside/pmconsole/fleet_bus.h"
#include "outside/pmconsole/remote_reply.h"
#include "outside/pmconsole/remote_transport.h"
#include "shared/remote/alerts.h"
#include "shared/remote/presence.h"
#include "shared/remote/subjects.h"
#include "shared/remote/operations.h"

namespace pm::console {
namespace {

// How often a waiting request looks at the connection's asynchronous errors.
constexpr int64_t kSliceMs = 20;
// What a subscription that many machines answer may hold before the library drops messages:
// every machine of the largest fleet twice, and at most 128 MiB.
constexpr int kPendingMsgs = 200000;
constexpr int kPendingBytes = 128 << 20;

std::string LastError(natsStatus s) {
    const char* text = nats_GetLastError(nullptr);
    std::string detail = text && *text ? text : natsStatus_GetText(s);
    // The library puts "(file.c:line): " in front of its texts.
    if (!detail.empty() && detail[0] == '(') {
        const size_t end = detail.find("): ");
        if (end != std::string::npos) detail.erase(0, end + 3);
    }
    switch (s) {
    case NATS_CONNECTION_AUTH_FAILED:
        return "the servers refused the user or password (" + detail + ")";
    case NATS_NO_SERVER:
        return "no server could be reached (" + detail + ")";
    case NATS_SSL_ERROR:
        return "TLS refused: " + detail;
    case NATS_SECURE_CONNECTION_REQUIRED:
        return "the servers require TLS: use tls:// and --ca FILE";
    default:
        return detail;
    }
}

// What the connection's callbacks report. They run on the library's own thread and may come
// after the transport is gone (a close posts a last disconnect), so they reach the transport's
// record through its number, under one lock, and find nothing once it is erased.
struct ConnectionEvents {
    std::deque<std::string> violations; // "Permissions Violation for ..." texts, the latest
    uint64_t violations_total = 0;      // ever seen: a request looks only at newer ones
    uint64_t drops = 0;                 // disconnects seen
};
constexpr size_t kViolationsKept = 256;
std::mutex g_events_lock;
std::map<uintptr_t, ConnectionEvents> g_events;
uintptr_t g_next_id = 1;

class NatsTransport final : public RequestTransport, public FleetBus {
public:
    explicit NatsTransport(std::string machine) : machine_(std::move(machine)) {
        std::lock_guard<std::mutex> lock(g_events_lock);
        id_ = g_next_id++;
        g_events[id_];
    }
    ~NatsTransport() override {
        natsSubscription_Destroy(presence_);
        natsSubscription_Destroy(heartbeats_);
        natsConnection_Destroy(nc_);
        natsOptions_Destroy(opts_);
        std::lock_guard<std::mutex> lock(g_events_lock);
        g_events.erase(id_);
    }
    NatsTransport(const NatsTransport&) = delete;
    NatsTransport& operator=(const NatsTransport&) = delete;

    bool Connect(const RemoteSettings& s, const std::string& password, std::string& error) {
        std::vector<const char*> urls;
        bool secure = !s.ca_file.empty();
        for (const std::string& u : s.servers) {
            urls.push_back(u.c_str());
            if (u.compare(0, 6, "tls://") == 0) secure = true;
        }
        natsStatus st = natsOptions_Create(&opts_);
        if (st == NATS_OK)
            st = natsOptions_SetServers(opts_, urls.data(), static_cast<int>(urls.size()));
        if (st == NATS_OK && !s.user.empty())
            st = natsOptions_SetUserInfo(opts_, s.user.c_str(), password.c_str());
        if (st == NATS_OK && secure) st = natsOptions_SetSecure(opts_, true);
        // Servers the cluster announces inherit TLS; without it, none is followed (a plain
        // connection stays where it was pointed: on the loopback).
        if (st == NATS_OK && !secure) st = natsOptions_SetIgnoreDiscoveredServers(opts_, true);
        // Each user hears only its own inbox (the servers' permissions say the same).
        inbox_prefix_ = remote::InboxPrefix(s.user);
        if (st == NATS_OK && !s.user.empty())
            st = natsOptions_SetCustomInboxPrefix(opts_, inbox_prefix_.c_str());
        if (st == NATS_OK && !s.ca_file.empty()) {
            st = natsOptions_LoadCATrustedCertificates(opts_, s.ca_file.c_str());
            if (st != NATS_OK) {
                error = "the CA file " + s.ca_file + " cannot be read: " + LastError(st);
                return false;
            }
        }
        if (st == NATS_OK) st = natsOptions_SetTimeout(opts_, 5000);
        if (st == NATS_OK) st = natsOptions_SetErrorHandler(opts_, &OnError, Closure());
        if (st == NATS_OK) st = natsOptions_SetDisconnectedCB(opts_, &OnDisconnected, Closure());
        if (st == NATS_OK) st = natsConnection_Connect(&nc_, opts_);
        user_ = s.user;
        if (st != NATS_OK) {
            error = LastError(st);
            return false;
        }
        return true;
    }

    WireReply Exchange(const WireRequest& request) override {
        return ExchangeWith(machine_, request);
    }

    // The connection is shared by the fan-out's threads: libnats is thread-safe, and each
    // request has its own inbox.
    WireReply ExchangeWith(const std::string& machine, const WireRequest& request) override {
        WireReply reply;
        reply.outcome = WireOutcome::kNotSent;
        const std::string subject =
            remote::SubjectForRequest(machine, request.node, request.code, request.operation);
        const std::string inbox = remote::NewInbox(inbox_prefix_);
        natsSubscription* sub = nullptr;
        uint64_t drops = 0, violations = 0;
        {
            std::lock_guard<std::mutex> lock(g_events_lock);
            const ConnectionEvents& e = g_events[id_];
            violations = e.violations_total;
            drops = e.drops;
        }
        // Subscribed before the request goes out, so that no reply can come first.
        natsStatus st = natsConnection_SubscribeSync(&sub, nc_, inbox.c_str());
        if (st == NATS_OK)
            st = natsConnection_PublishRequest(nc_, subject.c_str(), inbox.c_str(),
                                               request.message.data(),
                                               static_cast<int>(request.message.size()));
        if (st != NATS_OK) {
            reply.detail = LastError(st);
        } else {
            reply = Wait(request, subject, inbox.c_str(), sub, drops, violations);
        }
        natsSubscription_Destroy(sub);
        return reply;
    }

    std::vector<std::string> Gather(const std::string& subject, const std::string& payload,
                                    uint32_t timeout_ms, uint32_t quiet_ms, size_t limit) override {
        std::vector<std::string> answers;
        const std::string inbox = remote::NewInbox(inbox_prefix_);
        natsSubscription* sub = nullptr;
        natsStatus st = natsConnection_SubscribeSync(&sub, nc_, inbox.c_str());
        // Many answers may come at once: held up to a bound, the rest dropped by the library.
        if (st == NATS_OK) st = natsSubscription_SetPendingLimits(sub, kPendingMsgs, kPendingBytes);
        if (st == NATS_OK)
            st = natsConnection_PublishRequest(nc_, subject.c_str(), inbox.c_str(), payload.data(),
                                               static_cast<int>(payload.size()));
        const uint64_t start = NowMs();
        uint64_t last = 0;
        while (st == NATS_OK && answers.size() < limit) {
            const uint64_t now = NowMs();
            uint64_t until = start + timeout_ms;
            if (last != 0 && last + quiet_ms < until) until = last + quiet_ms;
            if (now >= until) break;
            natsMsg* msg = nullptr;
            const natsStatus got =
                natsSubscription_NextMsg(&msg, sub, static_cast<int64_t>(until - now));
            if (got == NATS_TIMEOUT) continue;
            if (got != NATS_OK) break;
            if (!natsMsg_IsNoResponders(msg))
                answers.emplace_back(natsMsg_GetData(msg),
                                     static_cast<size_t>(std::max(0, natsMsg_GetDataLength(msg))));
            natsMsg_Destroy(msg);
            last = NowMs();
        }
        natsSubscription_Destroy(sub);
        return answers;
    }

    bool AskPresence() override {
        if (!SubscribePresence()) return false;
        return natsConnection_PublishString(nc_, remote::kDiscoverSubject, "{}") == NATS_OK;
    }

    bool NextPresence(std::string& subject, std::string& payload, uint32_t wait_ms) override {
        if (!SubscribePresence()) return false;
        // Hellos first, then heartbeats; each waits half the time.
        for (natsSubscription* sub : {presence_, heartbeats_}) {
            natsMsg* msg = nullptr;
            if (natsSubscription_NextMsg(&msg, sub, std::max<int64_t>(1, wait_ms / 2)) != NATS_OK)
                continue;
            subject = natsMsg_GetSubject(msg);
            payload.assign(natsMsg_GetData(msg),
                           static_cast<size_t>(std::max(0, natsMsg_GetDataLength(msg))));
            natsMsg_Destroy(msg);
            return true;
        }
        return false;
    }

    bool SetupAlerts(uint32_t replicas, std::string& error) override {
        jsCtx* js = nullptr;
        if (!Js(&js, error)) return false;
        jsStreamConfig cfg;
        jsStreamConfig_Init(&cfg);
        const char* subjects[] = {remote::kAlertWildcard};
        cfg.Name = remote::kAlertStream;
        cfg.Subjects = subjects;
        cfg.SubjectsLen = 1;
        cfg.Storage = js_FileStorage;
        cfg.Retention = js_LimitsPolicy;
        cfg.Discard = js_DiscardOld;
        cfg.MaxAge = static_cast<int64_t>(remote::kAlertMaxAgeSeconds) * 1000000000LL;
        cfg.MaxMsgsPerSubject = remote::kAlertMaxPerMachine;
        cfg.Duplicates = static_cast<int64_t>(remote::kAlertDuplicateWindowSeconds) * 1000000000LL;
        cfg.Replicas = static_cast<int64_t>(replicas);
        jsErrCode code = static_cast<jsErrCode>(0);
        natsStatus st = NATS_ERR;
        // A cluster that has just started elects its JetStream leader first: bounded retries.
        for (int k = 0; k < 40; ++k) {
            jsStreamInfo* info = nullptr;
            st = js_AddStream(&info, js, &cfg, nullptr, &code);
            if (st != NATS_OK && code == JSStreamNameExistErr)
                st = js_UpdateStream(&info, js, &cfg, nullptr, &code);
            jsStreamInfo_Destroy(info);
            if (st == NATS_OK || code == JSNotEnabledErr || st == NATS_NOT_PERMITTED) break;
            usleep(250 * 1000);
        }
        jsCtx_Destroy(js);
        if (st != NATS_OK) error = "cannot create the stream: " + LastError(st);
        return st == NATS_OK;
    }

    bool ReadAlerts(const AlertReading& reading, const AlertSink& each,
                    std::string& error) override {
        jsCtx* js = nullptr;
        if (!Js(&js, error)) return false;
        jsSubOptions so;
        jsSubOptions_Init(&so);
        so.Stream = remote::kAlertStream;
        natsSubscription* sub = nullptr;
        jsErrCode code = static_cast<jsErrCode>(0);
        const uint64_t violations = ViolationsSeen();
        natsStatus st = NATS_OK;
        const bool from_time = reading.since_ms != 0;
        if (from_time) {
            // From a time: an ordered consumer of this reading only, delivering into this
            // user's inbox and gone with the reading (nothing to acknowledge, nothing another
            // user's rights could reach).
            so.Ordered = true;
            so.Config.DeliverPolicy = js_DeliverByStartTime;
            so.Config.OptStartTime = static_cast<int64_t>(reading.since_ms) * 1000000LL;
            st = js_SubscribeSync(&sub, js, remote::kAlertWildcard, nullptr, &so, &code);
        } else {
            // What this user has not read yet: its durable consumer, acknowledged as shown.
            so.Config.AckPolicy = js_AckExplicit;
            std::string durable = "pmconsole_" + user_;
            for (char& c : durable)
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
            st = js_PullSubscribe(&sub, js, remote::kAlertWildcard, durable.c_str(), nullptr, &so,
                                  &code);
        }
        if (st != NATS_OK) {
            std::string refusal;
            error = code == JSStreamNotFoundErr
                        ? "the stream PROCMGR_ALERTS does not exist: pmconsole fleet setup"
                    : st == NATS_NOT_PERMITTED || RefusedSince(violations, "\"$JS.", refusal)
                        ? "not permitted to read the stream: " +
                              (refusal.empty() ? LastError(st) : refusal)
                        : "cannot read the stream: " + LastError(st);
            jsCtx_Destroy(js);
            return false;
        }
        bool more = true;
        uint64_t last = NowMs();
        // One stored alert to the sink; those not shown (the reading ended) are not
        // acknowledged and come again.
        auto show = [&](natsMsg* m) {
            if (more) {
                more =
                    each(natsMsg_GetSubject(m),
                         std::string(natsMsg_GetData(m),
                                     static_cast<size_t>(std::max(0, natsMsg_GetDataLength(m)))));
                if (!from_time) natsMsg_Ack(m, nullptr);
            }
            natsMsg_Destroy(m);
        };
        while (more) {
            natsMsgList list = {nullptr, 0};
            natsMsg* one = nullptr;
            st = from_time ? natsSubscription_NextMsg(&one, sub, 500)
                           : natsSubscription_Fetch(&list, sub, 256, 500, &code);
            if (st == NATS_TIMEOUT) {
                if (!reading.follow && NowMs() - last >= reading.idle_ms) break;
                if (reading.stopped && reading.stopped()) break;
                continue;
            }
            if (st != NATS_OK) {
                error = "reading the stream failed: " + LastError(st);
                more = false;
                break;
            }
            last = NowMs();
            if (one != nullptr) show(one);
            for (int i = 0; i < list.Count; ++i) {
                show(list.Msgs[i]);
                list.Msgs[i] = nullptr;
            }
            natsMsgList_Destroy(&list);
            if (more && reading.stopped && reading.stopped()) break;
        }
        natsSubscription_Destroy(sub);
        jsCtx_Destroy(js);
        return error.empty();
    }

    uint64_t NowMs() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    std::string User() const override { return user_; }

private:
    WireReply Wait(const WireRequest& request, const std::string& subject, const char* inbox,
                   natsSubscription* sub, uint64_t drops, uint64_t violations) {
        WireReply reply;
        RemoteReplyCollector collector;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(request.timeout_ms);
        for (;;) {
            const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now())
                                     .count();
            if (left <= 0) break;
            natsMsg* msg = nullptr;
            natsStatus st = natsSubscription_NextMsg(&msg, sub, std::min(left, kSliceMs));
            if (st == NATS_TIMEOUT) {
                std::lock_guard<std::mutex> lock(g_events_lock);
                const ConnectionEvents& e = g_events[id_];
                const uint64_t older = e.violations_total - e.violations.size();
                for (size_t k = violations > older ? violations - older : 0;
                     k < e.violations.size(); ++k) {
                    const std::string& v = e.violations[k];
                    // "Permissions Violation for Publish to "SUBJECT"" (or Subscription to
                    // the inbox): this request's, told apart by the quoted subject.
                    if (v.find('"' + subject + '"') != std::string::npos ||
                        v.find('"' + std::string(inbox) + '"') != std::string::npos) {
                        reply.outcome = WireOutcome::kNotPermitted;
                        reply.detail = v;
                        return reply;
                    }
                }
                if (e.drops != drops) {
                    reply.outcome = WireOutcome::kConnectionLost;
                    return reply;
                }
                continue;
            }
            if (st == NATS_NO_RESPONDERS) {
                reply.outcome = WireOutcome::kNoSuchMachine;
                return reply;
            }
            if (st != NATS_OK) {
                reply.outcome = WireOutcome::kConnectionLost;
                reply.detail = LastError(st);
                return reply;
            }
            const bool done = collector.Take(View(msg), reply);
            natsMsg_Destroy(msg);
            if (done) return reply;
        }
        reply = collector.TimedOut();
        // The library keeps only the last error's text: when requests of one command to many
        // machines are refused together, a refusal's text may name another machine. A request
        // that had no answer at all, while the same command was refused on this connection,
        // was refused too.
        if (collector.Received() == 0 && RefusedElsewhere(subject, violations, reply.detail))
            reply.outcome = WireOutcome::kNotPermitted;
        return reply;
    }

    uint64_t ViolationsSeen() {
        std::lock_guard<std::mutex> lock(g_events_lock);
        return g_events[id_].violations_total;
    }

    // A violation since `violations` that quotes a subject starting with `quoted_start`.
    bool RefusedSince(uint64_t violations, const std::string& quoted_start, std::string& text) {
        std::lock_guard<std::mutex> lock(g_events_lock);
        const ConnectionEvents& e = g_events[id_];
        const uint64_t older = e.violations_total - e.violations.size();
        for (size_t k = violations > older ? violations - older : 0; k < e.violations.size(); ++k)
            if (e.violations[k].find(quoted_start) != std::string::npos) {
                text = e.violations[k];
                return true;
            }
        return false;
    }

    // A violation since `violations` for the same node, code and operation as `subject` on
    // another machine.
    bool RefusedElsewhere(const std::string& subject, uint64_t violations, std::string& detail) {
        const size_t dot = subject.find('.', std::strlen(remote::kSubjectRoot) + 1);
        if (dot == std::string::npos) return false;
        const std::string tail = subject.substr(dot) + '"';
        std::lock_guard<std::mutex> lock(g_events_lock);
        const ConnectionEvents& e = g_events[id_];
        const uint64_t older = e.violations_total - e.violations.size();
        for (size_t k = violations > older ? violations - older : 0; k < e.violations.size(); ++k) {
            const std::string& v = e.violations[k];
            if (v.find("Publish to \"" + std::string(remote::kSubjectRoot) + ".") !=
                    std::string::npos &&
                v.size() >= tail.size() &&
                v.compare(v.size() - tail.size(), tail.size(), tail) == 0) {
                detail = "the same command was refused to this user on another machine: " + v;
                return true;
            }
        }
        return false;
    }

    // A libnats message as the collector reads it (valid while `msg` lives).
    static ReplyView View(natsMsg* msg) {
        ReplyView view;
        view.no_responders = natsMsg_IsNoResponders(msg);
        view.header = [msg](const char* key, std::string& value) {
            const char* found = nullptr;
            if (natsMsgHeader_Get(msg, key, &found) != NATS_OK || found == nullptr) return false;
            value = found;
            return true;
        };
        view.data = reinterpret_cast<const uint8_t*>(natsMsg_GetData(msg));
        view.size = static_cast<size_t>(std::max(0, natsMsg_GetDataLength(msg)));
        return view;
    }

    bool SubscribePresence() {
        if (presence_ != nullptr) return true;
        natsStatus st = natsConnection_SubscribeSync(&presence_, nc_, remote::kHelloWildcard);
        if (st == NATS_OK)
            st = natsConnection_SubscribeSync(&heartbeats_, nc_, remote::kHeartbeatWildcard);
        for (natsSubscription* sub : {presence_, heartbeats_})
            if (st == NATS_OK)
                st = natsSubscription_SetPendingLimits(sub, kPendingMsgs, kPendingBytes);
        if (st == NATS_OK) return true;
        natsSubscription_Destroy(presence_);
        natsSubscription_Destroy(heartbeats_);
        presence_ = heartbeats_ = nullptr;
        return false;
    }

    bool Js(jsCtx** js, std::string& error) {
        const natsStatus st = natsConnection_JetStream(js, nc_, nullptr);
        if (st != NATS_OK) error = "no JetStream context: " + LastError(st);
        return st == NATS_OK;
    }

    void* Closure() const { return reinterpret_cast<void*>(id_); }

    static void OnError(natsConnection* nc, natsSubscription*, natsStatus err, void* closure) {
        if (err != NATS_NOT_PERMITTED) return;
        const char* text = nullptr;
        natsConnection_GetLastError(nc, &text); // answers the error's status, with its text
        if (!text) return;
        std::lock_guard<std::mutex> lock(g_events_lock);
        auto it = g_events.find(reinterpret_cast<uintptr_t>(closure));
        if (it == g_events.end()) return;
        it->second.violations.emplace_back(text);
        ++it->second.violations_total;
        if (it->second.violations.size() > kViolationsKept) it->second.violations.pop_front();
    }
    static void OnDisconnected(natsConnection*, void* closure) {
        std::lock_guard<std::mutex> lock(g_events_lock);
        auto it = g_events.find(reinterpret_cast<uintptr_t>(closure));
        if (it != g_events.end()) ++it->second.drops;
    }

    std::string machine_;
    std::string user_;
    std::string inbox_prefix_ = "_INBOX";
    uintptr_t id_ = 0;
    natsOptions* opts_ = nullptr;
    natsConnection* nc_ = nullptr;
    natsSubscription* presence_ = nullptr;
    natsSubscription* heartbeats_ = nullptr;
};

} // namespace

std::unique_ptr<RequestTransport> ConnectRemote(const RemoteSettings& settings,
                                                const std::string& password, std::string& error) {
    auto t = std::make_unique<NatsTransport>(settings.machine);
    if (!t->Connect(settings, password, error)) return nullptr;
    return t;
}

FleetBus* FleetOf(RequestTransport* transport) {
    return dynamic_cast<NatsTransport*>(transport);
}

} // namespace pm::console
