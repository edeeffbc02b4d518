// One connection to one NATS server: Winsock, Schannel and the handshake.
#include "shared/nats/server_link_win.h"

#include <ws2tcpip.h>

#include <algorithm>

#include "shared/nats/client_cert_win.h"
#include "shared/nats/tls_channel_win.h"

namespace pm::nats {
namespace {

bool IsLoopbackAddress(const addrinfo* a) {
    if (a->ai_family == AF_INET)
        return (reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr & 0xFF) == 127;
    if (a->ai_family == AF_INET6)
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
    return false;
}

// Connects within a few seconds; INVALID_SOCKET otherwise. A plain connection is made only
// to a loopback address, whatever the name resolved to. The socket comes back blocking.
SOCKET Connect(const ServerUrl& url, bool plain, std::string& why) {
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
        if (plain && !IsLoopbackAddress(a)) continue;
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

} // namespace

void LinkEvents::OnInfo(const std::string& json) {
    ServerInfo i;
    if (ParseServerInfo(json, i)) {
        info = i;
        have_info = true;
        new_info = true;
    }
}

void LinkEvents::OnMessage(Message& m) {
    if (on_message) on_message(m);
}

ServerLink::ServerLink() = default;

ServerLink::~ServerLink() {
    tls_.reset(); // before its socket goes
    if (event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
}

bool ServerLink::IsRefusal(const std::string& e) {
    return e.find("Authorization Violation") != std::string::npos ||
           e.find("Authentication") != std::string::npos ||
           e.find("User Authentication Expired") != std::string::npos;
}

ServerLink::Open ServerLink::Start(const ServerUrl& url, const std::string& ca_file,
                                   const ClientState& client, ConnectOptions options,
                                   DWORD handshake_ms, std::string& why,
                                   const ClientCertificate* client_cert) {
    socket_ = Connect(url, !url.tls, why);
    if (socket_ == INVALID_SOCKET) return Open::kUnreachable;
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&handshake_ms),
               sizeof handshake_ms);

    // The INFO line comes in clear; nothing follows it until the client speaks.
    std::string line;
    while (line.empty() || line.back() != '\n') {
        char c;
        if (recv(socket_, &c, 1, 0) != 1 || line.size() > ProtocolParser::kMaxLine) {
            why = url.Text() + ": no INFO from the server";
            return Open::kUnreachable;
        }
        line += c;
    }
    if (!parser_.Feed(reinterpret_cast<const uint8_t*>(line.data()), line.size(), events_) ||
        !events_.have_info) {
        why = url.Text() + ": not a NATS server";
        return Open::kUnreachable;
    }
    if (url.tls || events_.info.tls_required) {
        if (!events_.info.tls_required && !events_.info.tls_available) {
            why = url.Text() + ": the server offers no TLS";
            return Open::kRefused;
        }
        if (ca_file.empty()) {
            why = url.Text() + ": the server requires TLS and no CA file is configured";
            return Open::kRefused;
        }
        tls_ = std::make_unique<TlsChannel>();
        std::string error;
        if (!tls_->Start(socket_, url.host, ca_file,
                         client_cert != nullptr ? client_cert->Context() : nullptr, error)) {
            why = url.Text() + ": " + error;
            return Open::kRefused;
        }
        encrypted_ = tls_->leftover;
    } else if (!IsLoopbackHost(url.host)) {
        why = url.Text() + ": refusing a plain connection to a server that is not on the loopback";
        return Open::kRefused;
    }

    // CONNECT and a PING: the PONG says the server took the credentials.
    options.tls = tls_ != nullptr;
    if (!Send(client.ConnectLines(options)) || (!encrypted_.empty() && !Feed("", 0))) {
        why = url.Text() + ": the connection broke during CONNECT";
        return Open::kUnreachable;
    }
    const ULONGLONG deadline = GetTickCount64() + handshake_ms;
    auto refused = [&] {
        for (const std::string& e : events_.errors)
            if (IsRefusal(e)) {
                why = url.Text() + ": the server refused the credentials (" + e + ")";
                return true;
            }
        return false;
    };
    while (events_.pongs == 0) {
        if (refused()) return Open::kRefused;
        char buf[16384];
        const int n = recv(socket_, buf, sizeof buf, 0);
        if (n <= 0 || GetTickCount64() > deadline) {
            if (refused()) return Open::kRefused;
            why = url.Text() + ": no answer to CONNECT";
            return Open::kUnreachable;
        }
        if (!Feed(buf, static_cast<size_t>(n))) {
            why = url.Text() + ": " + (parser_.Error().empty() ? "TLS failed" : parser_.Error());
            return Open::kUnreachable;
        }
    }
    events_.pongs = 0;
    events_.errors.clear();
    event_ = WSACreateEvent();
    if (event_ == WSA_INVALID_EVENT || WSAEventSelect(socket_, event_, FD_READ | FD_CLOSE) != 0) {
        why = url.Text() + ": cannot wait for the socket";
        return Open::kUnreachable;
    }
    return Open::kOk;
}

bool ServerLink::Send(const std::string& bytes) {
    if (bytes.empty()) return true;
    return tls_ ? tls_->Send(bytes) : SendAll(socket_, bytes.data(), bytes.size());
}

bool ServerLink::Feed(const char* data, size_t n) {
    if (!tls_) return parser_.Feed(reinterpret_cast<const uint8_t*>(data), n, events_);
    encrypted_.append(data, n);
    std::string plain;
    if (!tls_->Decrypt(encrypted_, plain)) return false;
    return parser_.Feed(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), events_);
}

ServerLink::Read ServerLink::ReadAvailable(std::string& why) {
    WSANETWORKEVENTS ne;
    WSAEnumNetworkEvents(socket_, event_, &ne);
    for (;;) {
        char buf[65536];
        const int n = recv(socket_, buf, sizeof buf, 0);
        if (n == 0) {
            why = "the server closed the connection";
            return Read::kClosed;
        }
        if (n < 0) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) return Read::kOk;
            why = "connection lost";
            return Read::kBroken;
        }
        if (!Feed(buf, static_cast<size_t>(n))) {
            why = parser_.Error().empty() ? "TLS failed" : parser_.Error();
            return Read::kBroken;
        }
    }
}

} // namespace pm::nats
