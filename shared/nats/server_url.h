// Server URLs: nats://host:port, tls://host:port ([v6]:port; port 4222 when absent).
// Portable.
#pragma once

#include <cstdint>
#include <string>

namespace pm::nats {

struct ServerUrl {
    bool tls = false;
    std::string host; // without brackets
    uint16_t port = 4222;

    [[nodiscard]] std::string Text() const; // as it is shown and compared
};

// False with a reason in `error` for another scheme, an empty host, a bad port, user info or a
// path.
bool ParseServerUrl(const std::string& text, ServerUrl& out, std::string& error);

// "localhost", 127.0.0.0/8 and ::1.
bool IsLoopbackHost(const std::string& host);

} // namespace pm::nats
