// Plain loopback sockets with a wake pipe, for the connection's native runs.
#include "shared/nats/server_stream_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace pm::nats {
namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    [[nodiscard]] int Get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool IsLoopback(const addrinfo* a) {
    if (a->ai_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr) >> 24) ==
               127;
    if (a->ai_family == AF_INET6)
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
    return false;
}

class PosixStream final : public ServerStream {
public:
    PosixStream(int socket, int wake_read, int wake_write)
        : socket_(socket), wake_read_(wake_read), wake_write_(wake_write) {}

    Read ReadSome(std::string& into, uint32_t wait_ms, std::string& why) override {
        pollfd p[2] = {{socket_.Get(), POLLIN, 0}, {wake_read_.Get(), POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(wait_ms)) < 0 && errno != EINTR) {
            why = "waiting for the socket failed";
            return Read::kBroken;
        }
        if (p[1].revents != 0) {
            char drain[64];
            while (read(wake_read_.Get(), drain, sizeof drain) > 0) {
            }
        }
        if (p[0].revents == 0) return Read::kIdle;
        bool any = false;
        for (;;) {
            char buf[65536];
            const ssize_t n = recv(socket_.Get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                into.append(buf, static_cast<size_t>(n));
                any = true;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n < 0 && errno == EINTR) continue;
            if (any) break; // the close is seen by the next read, after these bytes
            why = n == 0 ? "the server closed the connection" : "connection lost";
            return n == 0 ? Read::kClosed : Read::kBroken;
        }
        return Read::kData;
    }

    bool Write(const std::string& bytes) override {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                send(socket_.Get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return false;
            }
        }
        return true;
    }

    void Wake() override {
        const char one = 1;
        [[maybe_unused]] const ssize_t n = write(wake_write_.Get(), &one, 1); // full: a wake waits
    }

    bool StartTls(const std::string&, std::string& why, bool& refused) override {
        why = "TLS is not available on this stream";
        refused = true;
        return false;
    }

private:
    Fd socket_;
    Fd wake_read_;
    Fd wake_write_;
};

} // namespace

std::unique_ptr<ServerStream> PosixDialer::Dial(const ServerUrl& url, bool, std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(url.host.c_str(), std::to_string(url.port).c_str(), &hints, &list) != 0) {
        why = "cannot resolve " + url.host;
        return nullptr;
    }
    int connected = -1;
    for (addrinfo* a = list; a != nullptr && connected < 0; a = a->ai_next) {
        if (!IsLoopback(a)) continue;
        Fd s(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (s.Get() >= 0 && connect(s.Get(), a->ai_addr, a->ai_addrlen) == 0)
            connected = s.Release();
    }
    freeaddrinfo(list);
    Fd found(connected);
    if (found.Get() < 0) {
        why = "connection refused (loopback addresses only)";
        return nullptr;
    }
    const int one = 1;
    setsockopt(found.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        why = "no wake pipe";
        return nullptr;
    }
    return std::make_unique<PosixStream>(found.Release(), pipe_fds[0], pipe_fds[1]);
}

uint64_t PosixDialer::NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

} // namespace pm::nats
