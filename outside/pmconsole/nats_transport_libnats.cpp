// The remote path's request/reply transport over libnats (the NATS C client, TLS through
// OpenSSL inside it).
#include "outside/pmconsole/nats_connection_libnats.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/remote_reply.h"
#include "shared/nats/connection.h"
#include "outside/pmconsole/remote_transport.h"
#include "shared/remote/operations.h"
#include "shared/remote/subjects.h"

namespace pm::console {
namespace {

// How often a waiting request looks at the connection's asynchronous errors.
constexpr int64_t kSliceMs = 20;

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

// A libnats message as the collector reads it (valid while `msg` lives).
ReplyView View(natsMsg* msg) {
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

} // namespace

std::string NatsErrorText(natsStatus s) {
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

LibnatsConnection::LibnatsConnection(std::string machine) : machine_(std::move(machine)) {
    std::lock_guard<std::mutex> lock(g_events_lock);
    id_ = g_next_id++;
    g_events[id_];
}

LibnatsConnection::~LibnatsConnection() {
    fleet_.reset(); // its subscriptions first
    natsConnection_Destroy(nc_);
    natsOptions_Destroy(opts_);
    std::lock_guard<std::mutex> lock(g_events_lock);
    g_events.erase(id_);
}

bool LibnatsConnection::Connect(const RemoteSettings& s, const std::string& password,
                                std::string& error) {
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
            error = "the CA file " + s.ca_file + " cannot be read: " + NatsErrorText(st);
            return false;
        }
    }
    if (st == NATS_OK) st = natsOptions_SetTimeout(opts_, 5000);
    // A server that stops answering (paused, its host hung) is left for another within about
    // 6 s: with the client's default of 2 minutes between pings, a view of the fleet would hear
    // no heartbeat meanwhile and show every machine lost while they answer everyone else.
    if (st == NATS_OK) st = natsOptions_SetPingInterval(opts_, 2000);
    if (st == NATS_OK) st = natsOptions_SetMaxPingsOut(opts_, 2);
    if (st == NATS_OK) st = natsOptions_SetErrorHandler(opts_, &OnError, Closure());
    if (st == NATS_OK) st = natsOptions_SetDisconnectedCB(opts_, &OnDisconnected, Closure());
    if (st == NATS_OK) st = natsConnection_Connect(&nc_, opts_);
    user_ = s.user;
    if (st != NATS_OK) {
        error = NatsErrorText(st);
        return false;
    }
    return true;
}

WireReply LibnatsConnection::Exchange(const WireRequest& request) {
    return ExchangeWith(machine_, request);
}

WireReply LibnatsConnection::ExchangeWith(const std::string& machine, const WireRequest& request) {
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
        reply.detail = NatsErrorText(st);
    } else {
        reply = Wait(request, subject, inbox.c_str(), sub, drops, violations);
    }
    natsSubscription_Destroy(sub);
    return reply;
}

WireReply LibnatsConnection::Wait(const WireRequest& request, const std::string& subject,
                                  const char* inbox, natsSubscription* sub, uint64_t drops,
                                  uint64_t violations) {
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
            for (size_t k = violations > older ? violations - older : 0; k < e.violations.size();
                 ++k) {
                const std::string& v = e.violations[k];
                // This request's publish or its inbox's subscription, by the subject named.
                std::string named;
                bool publish = false;
                if (nats::ParseViolation(v, named, publish) &&
                    named == (publish ? subject : std::string(inbox))) {
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
            reply.detail = NatsErrorText(st);
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

uint64_t LibnatsConnection::ViolationsSeen() {
    std::lock_guard<std::mutex> lock(g_events_lock);
    return g_events[id_].violations_total;
}

bool LibnatsConnection::RefusedSince(uint64_t violations, const std::string& subject_start,
                                     std::string& text) {
    std::lock_guard<std::mutex> lock(g_events_lock);
    const ConnectionEvents& e = g_events[id_];
    const uint64_t older = e.violations_total - e.violations.size();
    for (size_t k = violations > older ? violations - older : 0; k < e.violations.size(); ++k) {
        std::string named;
        bool publish = false;
        if (nats::ParseViolation(e.violations[k], named, publish) &&
            named.compare(0, subject_start.size(), subject_start) == 0) {
            text = e.violations[k];
            return true;
        }
    }
    return false;
}

// A violation since `violations` for the same node, code and operation as `subject` on
// another machine.
bool LibnatsConnection::RefusedElsewhere(const std::string& subject, uint64_t violations,
                                         std::string& detail) {
    const size_t dot = subject.find('.', std::strlen(remote::kSubjectRoot) + 1);
    if (dot == std::string::npos) return false;
    const std::string tail = subject.substr(dot);
    std::lock_guard<std::mutex> lock(g_events_lock);
    const ConnectionEvents& e = g_events[id_];
    const uint64_t older = e.violations_total - e.violations.size();
    for (size_t k = violations > older ? violations - older : 0; k < e.violations.size(); ++k) {
        const std::string& v = e.violations[k];
        std::string named;
        bool publish = false;
        if (nats::ParseViolation(v, named, publish) && publish &&
            named.compare(0, std::strlen(remote::kSubjectRoot) + 1,
                          std::string(remote::kSubjectRoot) + ".") == 0 &&
            named.size() >= tail.size() &&
            named.compare(named.size() - tail.size(), tail.size(), tail) == 0) {
            detail = "the same command was refused to this user on another machine: " + v;
            return true;
        }
    }
    return false;
}

void LibnatsConnection::OnError(natsConnection* nc, natsSubscription*, natsStatus err,
                                void* closure) {
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

void LibnatsConnection::OnDisconnected(natsConnection*, void* closure) {
    std::lock_guard<std::mutex> lock(g_events_lock);
    auto it = g_events.find(reinterpret_cast<uintptr_t>(closure));
    if (it != g_events.end()) ++it->second.drops;
}

FleetBus* LibnatsConnection::Fleet(const std::function<std::unique_ptr<FleetBus>()>& make) {
    std::lock_guard<std::mutex> lock(fleet_lock_);
    if (!fleet_) fleet_ = make();
    return fleet_.get();
}

std::unique_ptr<RequestTransport> ConnectRemote(const RemoteSettings& settings,
                                                const std::string& password, std::string& error) {
    auto t = std::make_unique<LibnatsConnection>(settings.machine);
    if (!t->Connect(settings, password, error)) return nullptr;
    return t;
}

} // namespace pm::console
