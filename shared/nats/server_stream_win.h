// The connection's seam on Windows: Winsock (plain only to a loopback address) and Schannel,
// with the server's certificate checked against the configured CA file. Reads wait on the
// socket's event and a wake event together.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "shared/nats/server_stream.h"

namespace pm::nats {

class ClientCertificate;

// Winsock for as long as it lives.
class Winsock {
public:
    Winsock();
    ~Winsock();
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
    [[nodiscard]] bool Ok() const { return ok_; }

private:
    bool ok_ = false;
};

class WinDialer final : public Dialer {
public:
    // TLS trusts only `ca_file`'s CA and offers `client_cert` (may be null; owned by the
    // caller) when the server asks for one.
    WinDialer(std::string ca_file, const ClientCertificate* client_cert)
        : ca_file_(std::move(ca_file)), client_cert_(client_cert) {}
    std::unique_ptr<ServerStream> Dial(const ServerUrl& url, bool loopback_only,
                                       std::string& why) override;
    uint64_t NowMs() override { return GetTickCount64(); }
    [[nodiscard]] bool Ok() const { return winsock_.Ok(); }

private:
    Winsock winsock_;
    std::string ca_file_;
    const ClientCertificate* client_cert_;
};

} // namespace pm::nats
