// The remote path on Windows: the project's own NATS client (Winsock and Schannel, shared with
// the gate). One connection to one server of the list; each request subscribes a fresh inbox,
// publishes once and waits for its reply, its pieces, or an outcome. Nothing is ever sent
// twice: a connection lost while a request waits ends that request, and only a later request
// connects again.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <random>

#include "outside/pmconsole/remote_reply.h"
#include "outside/pmconsole/remote_transport.h"
#include "shared/nats/server_link_win.h"
#include "shared/nats/server_pool.h"
#include "shared/remote/operations.h"
#include "shared/remote/subjects.h"

namespace pm::console {
namespace {

constexpr DWORD kHandshakeMs = 5000;

class Winsock {
public:
    Winsock() {
        WSADATA wsa;
        ok_ = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }
    ~Winsock() {
        if (ok_) WSACleanup();
    }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
    [[nodiscard]] bool Ok() const { return ok_; }

private:
    bool ok_ = false;
};

class Win32NatsTransport final : public RequestTransport {
public:
    explicit Win32NatsTransport(std::string machine) : machine_(std::move(machine)) {
        std::random_device device;
        rng_.seed((static_cast<uint64_t>(device()) << 32) ^ device() ^ GetTickCount64() ^
                  GetCurrentProcessId());
    }
    ~Win32NatsTransport() override { link_.reset(); }
    Win32NatsTransport(const Win32NatsTransport&) = delete;
    Win32NatsTransport& operator=(const Win32NatsTransport&) = delete;

    bool Connect(const RemoteSettings& s, const std::string& password, std::string& error) {
        if (!winsock_.Ok()) {
            error = "Winsock did not start";
            return false;
        }
        for (const std::string& text : s.servers) {
            nats::ServerUrl url;
            if (!nats::ParseServerUrl(text, url, error)) return false;
            servers_.push_back(url);
        }
        // Spread the consoles over the servers, as the other clients do.
        std::shuffle(servers_.begin(), servers_.end(), rng_);
        ca_file_ = s.ca_file;
        options_.user = s.user;
        // Each user hears only its own inbox (the servers' permissions say the same).
        inbox_prefix_ = remote::InboxPrefix(s.user);
        options_.password = password;
        options_.name = "pmconsole";
        return Open(error);
    }

    WireReply Exchange(const WireRequest& request) override {
        WireReply reply;
        reply.outcome = WireOutcome::kNotSent;
        // A request after a lost connection is a new request: it may connect again.
        if (!link_ && !Open(reply.detail)) return reply;
        const std::string subject =
            remote::SubjectForRequest(machine_, request.node, request.code, request.operation);
        const std::string inbox = remote::NewInbox(inbox_prefix_);
        const uint64_t sid = client_.Subscribe(inbox);
        const std::string sid_text = std::to_string(sid);
        RemoteReplyCollector collector;
        bool settled = false;
        nats::LinkEvents& events = link_->Events();
        events.errors.clear();
        events.on_message = [&](nats::Message& m) {
            if (!settled && m.sid == sid_text) settled = collector.Take(m, reply);
        };
        // Subscribed in the same write, before the request: no reply can come first.
        if (!link_->Send(client_.SubLine(sid) +
                         nats::ClientState::PubLines(subject, inbox, request.message))) {
            Drop();
            reply.outcome = WireOutcome::kConnectionLost;
            reply.detail = "sending failed";
            return reply;
        }
        reply = Wait(request.timeout_ms, subject, inbox, collector, settled, reply);
        if (link_) {
            link_->Events().on_message = nullptr;
            std::string unsub;
            if (client_.Unsubscribe(sid, unsub) && !link_->Send(unsub)) Drop();
        } else {
            std::string unused;
            client_.Unsubscribe(sid, unused);
        }
        return reply;
    }

private:
    bool Open(std::string& error) {
        std::string last;
        for (const nats::ServerUrl& url : servers_) {
            auto link = std::make_unique<nats::ServerLink>();
            std::string why;
            switch (link->Start(url, ca_file_, client_, options_, kHandshakeMs, why)) {
            case nats::ServerLink::Open::kOk:
                Learn(link->Info().connect_urls);
                link_ = std::move(link);
                return true;
            case nats::ServerLink::Open::kRefused:
                error = why; // credentials and certificates are the same on every server
                return false;
            case nats::ServerLink::Open::kUnreachable:
                last = why;
                break;
            }
        }
        error = "no server could be reached (" + last + ")";
        return false;
    }

    // The servers the cluster announces join the list, for a later request to reconnect to.
    void Learn(const std::vector<std::string>& announced) {
        const bool tls = std::any_of(servers_.begin(), servers_.end(),
                                     [](const nats::ServerUrl& u) { return u.tls; });
        for (const std::string& host_port : announced) {
            nats::ServerUrl url;
            std::string ignored;
            if (servers_.size() >= nats::ServerPool::kMaxServers ||
                !nats::ParseServerUrl((tls ? "tls://" : "nats://") + host_port, url, ignored))
                continue;
            const bool known =
                std::any_of(servers_.begin(), servers_.end(),
                            [&](const nats::ServerUrl& u) { return u.Text() == url.Text(); });
            if (!known) servers_.push_back(url);
        }
    }

    void Drop() { link_.reset(); }

    WireReply Wait(uint32_t timeout_ms, const std::string& subject, const std::string& inbox,
                   RemoteReplyCollector& collector, bool& settled, WireReply& reply) {
        const ULONGLONG deadline = GetTickCount64() + timeout_ms;
        nats::LinkEvents& events = link_->Events();
        while (!settled) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) return collector.TimedOut();
            const DWORD w = WaitForSingleObject(
                link_->ReadEvent(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 1000)));
            if (w == WAIT_OBJECT_0) {
                std::string why;
                if (link_->ReadAvailable(why) != nats::ServerLink::Read::kOk) {
                    Drop();
                    if (settled) return reply; // the last piece came with the close
                    WireReply lost;
                    lost.outcome = WireOutcome::kConnectionLost;
                    lost.detail = why;
                    return lost;
                }
            }
            if (settled) break;
            for (const std::string& e : events.errors) {
                if (IsViolationOf(e, subject, inbox)) {
                    WireReply refused;
                    refused.outcome = WireOutcome::kNotPermitted;
                    refused.detail = e;
                    return refused;
                }
            }
            events.errors.clear();
            std::string out;
            for (; events.pings > 0; --events.pings)
                out += "PONG\r\n";
            if (!link_->Send(out)) {
                Drop();
                WireReply lost;
                lost.outcome = WireOutcome::kConnectionLost;
                lost.detail = "sending failed";
                return lost;
            }
        }
        return reply;
    }

    Winsock winsock_;
    std::string machine_;
    std::vector<nats::ServerUrl> servers_;
    std::string ca_file_;
    nats::ConnectOptions options_;
    nats::ClientState client_;
    std::unique_ptr<nats::ServerLink> link_;
    std::mt19937_64 rng_;
    std::string inbox_prefix_;
};

} // namespace

std::unique_ptr<RequestTransport> ConnectRemote(const RemoteSettings& settings,
                                                const std::string& password, std::string& error) {
    auto t = std::make_unique<Win32NatsTransport>(settings.machine);
    if (!t->Connect(settings, password, error)) return nullptr;
    return t;
}

} // namespace pm::console
