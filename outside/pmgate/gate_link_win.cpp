// The gate's connection to the cluster.
#include "outside/pmgate/gate_link_win.h"

#include <ws2tcpip.h>

#include <memory>

#include "outside/pmgate/tls_channel_win.h"
#include "shared/nats/server_info.h"
#include "shared/nats/server_pool.h"
#include "shared/remote/pieces.h"

namespace pm::gate {
namespace {

constexpr size_t kMaxQueued = 256u * 1024 * 1024;
constexpr DWORD kHandshakeMs = 5000;

uint64_t NowMs() {
    return GetTickCount64();
}

struct SocketCloser {
    SOCKET s;
    ~SocketCloser() {
        if (s != INVALID_SOCKET) closesocket(s);
    }
};
struct EventCloser {
    WSAEVENT e;
    ~EventCloser() {
        if (e != WSA_INVALID_EVENT) WSACloseEvent(e);
    }
};

// Connects within a few seconds; INVALID_SOCKET otherwise. A plain connection is made only
// to a loopback address, whatever the name resolved to.
SOCKET Connect(const nats::ServerUrl& url, bool plain, std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    if (getaddrinfo(url.host.c_str(), std::to_string(url.port).c_str(), &hints, &list) != 0) {
        why = "cannot resolve " + url.host;
        return INVALID_SOCKET;
    }
    SOCKET found = INVALID_SOCKET;
    for (addrinfo* a = list; a != nullptr && found == INVALID_SOCKET; a = a->ai_next) {
        if (plain) {
            bool loop = false;
            if (a->ai_family == AF_INET)
                loop = (reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr & 0xFF) == 127;
            if (a->ai_family == AF_INET6)
                loop =
                    IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
            if (!loop) continue;
        }
        SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        u_long nb = 1;
        ioctlsocket(s, FIONBIO, &nb);
        connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen));
        fd_set w, e;
        FD_ZERO(&w);
        FD_ZERO(&e);
        FD_SET(s, &w);
        FD_SET(s, &e);
        timeval tv{3, 0};
        int err = 0;
        int len = sizeof err;
        if (select(0, nullptr, &w, &e, &tv) == 1 && FD_ISSET(s, &w) &&
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 &&
            err == 0) {
            nb = 0;
            ioctlsocket(s, FIONBIO, &nb);
            found = s;
        } else {
            closesocket(s);
        }
    }
    freeaddrinfo(list);
    if (found == INVALID_SOCKET && why.empty()) why = "connection refused or timed out";
    return found;
}

// Collects events during the CONNECT exchange and afterwards.
class Sink final : public nats::ProtocolSink {
public:
    void OnInfo(const std::string& json) override {
        nats::ServerInfo i;
        if (nats::ParseServerInfo(json, i)) {
            info = i;
            have_info = true;
        }
    }
    void OnMessage(nats::Message& m) override {
        if (on_message) (*on_message)(m);
    }
    void OnPing() override { pings++; }
    void OnPong() override { pongs++; }
    void OnError(const std::string& text) override { errors.push_back(text); }

    const GateLink::MessageFn* on_message = nullptr;
    nats::ServerInfo info;
    bool have_info = false;
    int pings = 0;
    int pongs = 0;
    std::vector<std::string> errors;
};

bool IsFatalError(const std::string& e) {
    return e.find("Authorization Violation") != std::string::npos ||
           e.find("Authentication") != std::string::npos ||
           e.find("User Authentication Expired") != std::string::npos;
}

} // namespace

GateLink::GateLink(LinkSettings settings, TraceFn trace)
    : settings_(std::move(settings)), trace_(std::move(trace)), client_(nats::KeepAlive{5000, 2}),
      wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

GateLink::~GateLink() {
    if (wake_ != nullptr) CloseHandle(wake_);
}

void GateLink::Subscribe(const std::string& subject) {
    client_.Subscribe(subject);
}

void GateLink::Publish(std::string lines) {
    {
        std::lock_guard<std::mutex> hold(out_lock_);
        if (out_.size() + lines.size() > kMaxQueued) return;
        out_ += lines;
    }
    SetEvent(wake_);
}

void GateLink::Stop() {
    stop_ = true;
    SetEvent(wake_);
}

int GateLink::Run(const MessageFn& on_message, std::string& fatal) {
    nats::ServerPool pool(settings_.servers,
                          static_cast<uint32_t>(GetTickCount() ^ GetCurrentProcessId()));
    while (!stop_) {
        const nats::ServerPool::Pick pick = pool.Next(NowMs());
        if (pick.wait_ms > 0) {
            WaitForSingleObject(wake_,
                                static_cast<DWORD>(pick.wait_ms > 1000 ? 1000 : pick.wait_ms));
            continue;
        }
        const nats::ServerUrl url = pool.Url(pick.index);
        announced_.clear();
        const End end = Session(url, on_message, fatal);
        connected_ = false;
        if (!announced_.empty() && pool.AddAnnounced(announced_) > 0)
            trace_("--pool now holds " + std::to_string(pool.Size()) + " servers");
        if (end == End::kFatal) return 3;
        if (end == End::kStopped) break;
        if (end == End::kLost) pool.Succeeded(pick.index);
        pool.Failed(pick.index, NowMs());
    }
    return 0;
}

GateLink::End GateLink::Session(const nats::ServerUrl& url, const MessageFn& on_message,
                                std::string& fatal) {
    std::string why;
    const bool plain_ok = nats::IsLoopbackHost(url.host);
    SocketCloser sock{Connect(url, !url.tls, why)};
    if (sock.s == INVALID_SOCKET) {
        trace_("!!connect " + url.Text() + ": " + why);
        return End::kNeverConnected;
    }
    DWORD rcv = kHandshakeMs;
    setsockopt(sock.s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&rcv), sizeof rcv);

    nats::ProtocolParser parser;
    Sink sink;
    // The INFO line comes in clear; nothing follows it until the client speaks.
    std::string line;
    while (line.empty() || line.back() != '\n') {
        char c;
        if (recv(sock.s, &c, 1, 0) != 1 || line.size() > nats::ProtocolParser::kMaxLine) {
            trace_("!!" + url.Text() + ": no INFO from the server");
            return End::kNeverConnected;
        }
        line += c;
    }
    if (!parser.Feed(reinterpret_cast<const uint8_t*>(line.data()), line.size(), sink) ||
        !sink.have_info) {
        trace_("!!" + url.Text() + ": not a NATS server");
        return End::kNeverConnected;
    }
    std::unique_ptr<TlsChannel> tls;
    if (url.tls || sink.info.tls_required) {
        if (!sink.info.tls_required && !sink.info.tls_available) {
            fatal = url.Text() + ": the server offers no TLS";
            return End::kFatal;
        }
        if (settings_.ca_file.empty()) {
            fatal = url.Text() + ": the server requires TLS and no ca_file is configured";
            return End::kFatal;
        }
        tls = std::make_unique<TlsChannel>();
        std::string error;
        if (!tls->Start(sock.s, url.host, settings_.ca_file, error)) {
            fatal = url.Text() + ": " + error;
            return End::kFatal;
        }
    } else if (!plain_ok) {
        fatal =
            url.Text() + ": refusing a plain connection to a server that is not on the loopback";
        return End::kFatal;
    }
    piece_size_ = remote::PieceSize(sink.info.max_payload);
    announced_ = sink.info.connect_urls;

    std::string encrypted = tls ? tls->leftover : std::string();
    auto send_plain = [&](const std::string& bytes) {
        if (bytes.empty()) return true;
        if (tls) return tls->Send(bytes);
        size_t at = 0;
        while (at < bytes.size()) {
            const int n = send(sock.s, bytes.data() + at,
                               static_cast<int>(std::min<size_t>(bytes.size() - at, 65536)), 0);
            if (n == SOCKET_ERROR) {
                if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
                fd_set w;
                FD_ZERO(&w);
                FD_SET(sock.s, &w);
                timeval tv{10, 0};
                if (select(0, nullptr, &w, nullptr, &tv) <= 0) return false;
                continue;
            }
            at += static_cast<size_t>(n);
        }
        return true;
    };
    auto feed = [&](const char* data, size_t n) {
        if (!tls) return parser.Feed(reinterpret_cast<const uint8_t*>(data), n, sink);
        encrypted.append(data, n);
        std::string plain;
        if (!tls->Decrypt(encrypted, plain)) return false;
        return parser.Feed(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), sink);
    };

    // CONNECT and a PING: the PONG says the server took the credentials.
    nats::ConnectOptions options = settings_.connect;
    options.tls = tls != nullptr;
    if (!send_plain(client_.ConnectLines(options))) return End::kNeverConnected;
    if (!encrypted.empty() && !feed("", 0)) return End::kNeverConnected;
    const uint64_t deadline = NowMs() + kHandshakeMs;
    while (sink.pongs == 0) {
        for (const std::string& e : sink.errors)
            if (IsFatalError(e)) {
                fatal = url.Text() + ": the server refused the credentials (" + e + ")";
                return End::kFatal;
            }
        char buf[16384];
        const int n = recv(sock.s, buf, sizeof buf, 0);
        if (n <= 0 || NowMs() > deadline) {
            for (const std::string& e : sink.errors)
                if (IsFatalError(e)) {
                    fatal = url.Text() + ": the server refused the credentials (" + e + ")";
                    return End::kFatal;
                }
            trace_("!!" + url.Text() + ": no answer to CONNECT");
            return End::kNeverConnected;
        }
        if (!feed(buf, static_cast<size_t>(n))) return End::kNeverConnected;
    }
    sink.errors.clear();
    if (!send_plain(client_.ResubscribeLines())) return End::kNeverConnected;
    if (greeting_ && !send_plain(greeting_())) return End::kNeverConnected;
    connected_ = true;
    trace_("--connected to " + url.Text() + " (" + sink.info.server_name + "), max_payload " +
           std::to_string(sink.info.max_payload));

    // Serving: the socket and the wake event, with a tick for the keep-alive.
    EventCloser ev{WSACreateEvent()};
    if (ev.e == WSA_INVALID_EVENT || WSAEventSelect(sock.s, ev.e, FD_READ | FD_CLOSE) != 0)
        return End::kLost;
    client_.Connected(NowMs());
    sink.on_message = &on_message;
    HANDLE waits[2] = {ev.e, wake_};
    for (;;) {
        if (stop_) return End::kStopped;
        const DWORD w = WaitForMultipleObjects(2, waits, FALSE, 500);
        if (w == WAIT_OBJECT_0) {
            WSANETWORKEVENTS ne;
            WSAEnumNetworkEvents(sock.s, ev.e, &ne);
            for (;;) {
                char buf[65536];
                const int n = recv(sock.s, buf, sizeof buf, 0);
                if (n == 0) {
                    trace_("!!" + url.Text() + ": the server closed the connection");
                    return End::kLost;
                }
                if (n < 0) {
                    if (WSAGetLastError() == WSAEWOULDBLOCK) break;
                    trace_("!!" + url.Text() + ": connection lost");
                    return End::kLost;
                }
                client_.HeardFromServer(NowMs());
                if (!feed(buf, static_cast<size_t>(n))) {
                    trace_("!!" + url.Text() + ": " +
                           (parser.Error().empty() ? "TLS failed" : parser.Error()));
                    return End::kLost;
                }
            }
        }
        for (; sink.pongs > 0; --sink.pongs)
            client_.PongReceived();
        std::string out;
        for (; sink.pings > 0; --sink.pings)
            out += "PONG\r\n";
        for (const std::string& e : sink.errors) {
            trace_("!!server: " + e);
            if (IsFatalError(e)) {
                fatal = url.Text() + ": the server refused the credentials (" + e + ")";
                return End::kFatal;
            }
        }
        sink.errors.clear();
        if (sink.have_info) {
            piece_size_ = remote::PieceSize(sink.info.max_payload);
            announced_ = sink.info.connect_urls;
        }
        switch (client_.OnTick(NowMs())) {
        case nats::ClientState::Tick::kSendPing:
            out += "PING\r\n";
            break;
        case nats::ClientState::Tick::kStale:
            trace_("!!" + url.Text() + ": no PONG to two PINGs");
            return End::kLost;
        case nats::ClientState::Tick::kNothing:
            break;
        }
        {
            std::lock_guard<std::mutex> hold(out_lock_);
            out += out_;
            out_.clear();
        }
        if (!send_plain(out)) {
            trace_("!!" + url.Text() + ": sending failed");
            return End::kLost;
        }
    }
}

} // namespace pm::gate
