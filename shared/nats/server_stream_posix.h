// The connection's seam on Linux: plain TCP to loopback addresses only, no TLS. It lets the
// connection's logic run natively under the sanitizers against a real nats-server.
#pragma once

#include "shared/nats/server_stream.h"

namespace pm::nats {

class PosixDialer final : public Dialer {
public:
    // Whatever `loopback_only` says: this dialer never leaves the machine.
    std::unique_ptr<ServerStream> Dial(const ServerUrl& url, bool loopback_only,
                                       std::string& why) override;
    uint64_t NowMs() override;
};

} // namespace pm::nats
