// The remote path over libnats (the NATS C client, TLS through OpenSSL inside it).
#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "outside/pmconsole/remote_transport.h"
#include "shared/remote/operations.h"
#include "shared/remote/pieces.h"
#include "shared/remote/statuses.h"

namespace pm::console {
namespace {

// How often a waiting request looks at the connection's asynchronous errors.
constexpr int64_t kSliceMs = 20;

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
    std::vector<std::string> violations; // "Permissions Violation for ..." texts
    uint64_t drops = 0;                  // disconnects seen
};
std::mutex g_events_lock;
std::map<uintptr_t, ConnectionEvents> g_events;
uintptr_t g_next_id = 1;

class NatsTransport final : public RequestTransport {
public:
    explicit NatsTransport(std::string machine) : machine_(std::move(machine)) {
        std::lock_guard<std::mutex> lock(g_events_lock);
        id_ = g_next_id++;
        g_events[id_];
    }
    ~NatsTransport() override {
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
        if (st != NATS_OK) {
            error = LastError(st);
            return false;
        }
        return true;
    }

    WireReply Exchange(const WireRequest& request) override {
        WireReply reply;
        reply.outcome = WireOutcome::kNotSent;
        const std::string subject =
            remote::SubjectForRequest(machine_, request.node, request.code, request.operation);
        natsInbox* inbox = nullptr;
        natsSubscription* sub = nullptr;
        uint64_t drops = 0;
        {
            std::lock_guard<std::mutex> lock(g_events_lock);
            ConnectionEvents& e = g_events[id_];
            e.violations.clear();
            drops = e.drops;
        }
        natsStatus st = natsInbox_Create(&inbox);
        // Subscribed before the request goes out, so that no reply can come first.
        if (st == NATS_OK) st = natsConnection_SubscribeSync(&sub, nc_, inbox);
        if (st == NATS_OK)
            st = natsConnection_PublishRequest(nc_, subject.c_str(), inbox, request.message.data(),
                                               static_cast<int>(request.message.size()));
        if (st != NATS_OK) {
            reply.detail = LastError(st);
        } else {
            reply = Wait(request, subject, inbox, sub, drops);
        }
        natsSubscription_Destroy(sub);
        natsInbox_Destroy(inbox);
        return reply;
    }

private:
    WireReply Wait(const WireRequest& request, const std::string& subject, const char* inbox,
                   natsSubscription* sub, uint64_t drops) {
        WireReply reply;
        remote::PieceAssembler pieces;
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
                for (const std::string& v : e.violations) {
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
            const bool done = Take(msg, pieces, reply);
            natsMsg_Destroy(msg);
            if (done) return reply;
        }
        reply.outcome = WireOutcome::kNoReply;
        if (pieces.Received() > 0)
            reply.detail = std::to_string(pieces.Received()) + " of " +
                           std::to_string(pieces.Expected()) + " pieces arrived";
        return reply;
    }

    // One message on the inbox; true when it settles the request.
    static bool Take(natsMsg* msg, remote::PieceAssembler& pieces, WireReply& reply) {
        if (natsMsg_IsNoResponders(msg)) {
            reply.outcome = WireOutcome::kNoSuchMachine;
            return true;
        }
        const char* status_text = nullptr;
        remote::GateStatus status;
        if (natsMsgHeader_Get(msg, remote::kHeaderStatus, &status_text) != NATS_OK ||
            !remote::ParseGateStatus(status_text, status)) {
            reply.outcome = WireOutcome::kNoReply;
            reply.detail = "an answer without a gate status came";
            return true;
        }
        if (status != remote::GateStatus::kReply) {
            reply.outcome = WireOutcome::kGateStatus;
            reply.gate_status = static_cast<uint32_t>(status);
            return true;
        }
        const char* piece = nullptr;
        const char* size = nullptr;
        natsMsgHeader_Get(msg, remote::kHeaderPiece, &piece);
        natsMsgHeader_Get(msg, remote::kHeaderSize, &size);
        const auto* data = reinterpret_cast<const uint8_t*>(natsMsg_GetData(msg));
        const size_t n = static_cast<size_t>(std::max(0, natsMsg_GetDataLength(msg)));
        switch (pieces.Add(piece ? piece : "", size ? size : "", data, n)) {
        case remote::PieceAssembler::Result::kNeedMore:
            return false;
        case remote::PieceAssembler::Result::kComplete:
            reply.outcome = WireOutcome::kReply;
            reply.message = pieces.Reply();
            return true;
        case remote::PieceAssembler::Result::kBad:
            break;
        }
        reply.outcome = WireOutcome::kNoReply;
        reply.detail = "the reply's pieces disagree";
        return true;
    }

    void* Closure() const { return reinterpret_cast<void*>(id_); }

    static void OnError(natsConnection* nc, natsSubscription*, natsStatus err, void* closure) {
        if (err != NATS_NOT_PERMITTED) return;
        const char* text = nullptr;
        natsConnection_GetLastError(nc, &text); // answers the error's status, with its text
        if (!text) return;
        std::lock_guard<std::mutex> lock(g_events_lock);
        auto it = g_events.find(reinterpret_cast<uintptr_t>(closure));
        if (it != g_events.end()) it->second.violations.emplace_back(text);
    }
    static void OnDisconnected(natsConnection*, void* closure) {
        std::lock_guard<std::mutex> lock(g_events_lock);
        auto it = g_events.find(reinterpret_cast<uintptr_t>(closure));
        if (it != g_events.end()) ++it->second.drops;
    }

    std::string machine_;
    uintptr_t id_ = 0;
    natsOptions* opts_ = nullptr;
    natsConnection* nc_ = nullptr;
};

} // namespace

std::unique_ptr<RequestTransport> ConnectRemote(const RemoteSettings& settings,
                                                const std::string& password, std::string& error) {
    auto t = std::make_unique<NatsTransport>(settings.machine);
    if (!t->Connect(settings, password, error)) return nullptr;
    return t;
}

} // namespace pm::console
