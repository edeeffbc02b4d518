// Winsock and Schannel under the connection.
#include "shared/nats/server_stream_win.h"

#include <ws2tcpip.h>

#include <memory>

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

// Connects within a few seconds; INVALID_SOCKET otherwise. The socket comes back blocking.
SOCKET Connect(const ServerUrl& url, bool loopback_only, std::string& why) {
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
        if (loopback_only && !IsLoopbackAddress(a)) continue;
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
    if (found == INVALID_SOCKET) why = "connection refused or timed out";
    return found;
}

class WinStream final : public ServerStream {
public:
    WinStream(SOCKET s, const std::string& ca_file, const ClientCertificate* client_cert)
        : socket_(s), ca_file_(ca_file), client_cert_(client_cert), event_(WSACreateEvent()),
          wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~WinStream() override {
        tls_.reset(); // before its socket goes
        if (event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
        if (wake_ != nullptr) CloseHandle(wake_);
        closesocket(socket_);
    }
    WinStream(const WinStream&) = delete;
    WinStream& operator=(const WinStream&) = delete;

    bool Ready() {
        return event_ != WSA_INVALID_EVENT && wake_ != nullptr &&
               WSAEventSelect(socket_, event_, FD_READ | FD_CLOSE) == 0;
    }

    Read ReadSome(std::string& into, uint32_t wait_ms, std::string& why) override {
        // Bytes that came with the TLS handshake are decrypted before anything is waited for.
        if (tls_ && !encrypted_.empty()) {
            const size_t before = into.size();
            if (!Decrypt(into, why)) return Read::kBroken;
            if (into.size() > before) return Read::kData;
        }
        if (closed_) {
            why = "the server closed the connection";
            return Read::kClosed;
        }
        HANDLE waits[2] = {event_, wake_};
        const DWORD w = WaitForMultipleObjects(2, waits, FALSE, wait_ms);
        if (w != WAIT_OBJECT_0) return Read::kIdle;
        WSANETWORKEVENTS ne;
        WSAEnumNetworkEvents(socket_, event_, &ne);
        const size_t before = into.size();
        for (;;) {
            char buf[65536];
            const int n = recv(socket_, buf, sizeof buf, 0);
            if (n > 0) {
                if (!tls_) {
                    into.append(buf, static_cast<size_t>(n));
                } else {
                    encrypted_.append(buf, static_cast<size_t>(n));
                    if (!Decrypt(into, why)) return Read::kBroken;
                }
                continue;
            }
            if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) break;
            // The close is reported after the bytes that came with it.
            closed_ = true;
            if (into.size() > before) break;
            why = n == 0 ? "the server closed the connection" : "connection lost";
            return n == 0 ? Read::kClosed : Read::kBroken;
        }
        return into.size() > before ? Read::kData : Read::kIdle;
    }

    bool Write(const std::string& bytes) override {
        if (bytes.empty()) return true;
        return tls_ ? tls_->Send(bytes) : SendAll(socket_, bytes.data(), bytes.size());
    }

    void Wake() override { SetEvent(wake_); }

    bool StartTls(const std::string& host, std::string& why, bool& refused) override {
        refused = true;
        if (ca_file_.empty()) {
            why = "the server requires TLS and no CA file is configured";
            return false;
        }
        // Schannel's handshake wants a blocking socket; events resume after it (and signal
        // at once when the server already sent more).
        WSAEventSelect(socket_, event_, 0);
        u_long nb = 0;
        ioctlsocket(socket_, FIONBIO, &nb);
        const DWORD handshake_ms = 5000;
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&handshake_ms),
                   sizeof handshake_ms);
        auto tls = std::make_unique<TlsChannel>();
        if (!tls->Start(socket_, host, ca_file_,
                        client_cert_ != nullptr ? client_cert_->Context() : nullptr, why)) {
            refused = !tls->link_failed;
            return false;
        }
        encrypted_ = tls->leftover;
        tls_ = std::move(tls);
        return Ready();
    }

private:
    bool Decrypt(std::string& into, std::string& why) {
        std::string plain;
        if (!tls_->Decrypt(encrypted_, plain)) {
            why = "TLS failed";
            return false;
        }
        into += plain;
        return true;
    }

    SOCKET socket_;
    std::string ca_file_;
    const ClientCertificate* client_cert_;
    WSAEVENT event_;
    HANDLE wake_;
    std::unique_ptr<TlsChannel> tls_;
    std::string encrypted_; // bytes read but not yet a whole TLS record
    bool closed_ = false;
};

} // namespace

Winsock::Winsock() {
    WSADATA wsa;
    ok_ = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
}

Winsock::~Winsock() {
    if (ok_) WSACleanup();
}

std::unique_ptr<ServerStream> WinDialer::Dial(const ServerUrl& url, bool loopback_only,
                                              std::string& why) {
    const SOCKET s = Connect(url, loopback_only, why);
    if (s == INVALID_SOCKET) return nullptr;
    auto stream = std::make_unique<WinStream>(s, ca_file_, client_cert_);
    if (!stream->Ready()) {
        why = "cannot wait for the socket";
        return nullptr;
    }
    return stream;
}

} // namespace pm::nats
