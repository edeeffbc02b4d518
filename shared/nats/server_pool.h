// The servers a client may connect to: those of its configuration and those the cluster
// announces (connect_urls), shuffled once, tried in turn, each with its own back-off with
// jitter after a failure. Portable: no OS code here; time is the caller's monotonic clock.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "shared/nats/server_url.h"

namespace pm::nats {

struct BackOff {
    uint32_t first_ms = 250;  // wait before the second try of a server that failed once
    uint32_t max_ms = 4000;   // doubling stops here
    uint32_t jitter_ms = 250; // plus a random part below this
};

class ServerPool {
public:
    static constexpr size_t kMaxServers = 64;

    ServerPool(const std::vector<ServerUrl>& configured, uint32_t seed, BackOff back_off = {});

    // Adds the announced "host:port" entries not yet in the pool (with the scheme of the
    // configured servers: tls when any of them is tls). Answers how many were added.
    size_t AddAnnounced(const std::vector<std::string>& connect_urls);

    struct Pick {
        size_t index = 0;
        uint64_t wait_ms = 0; // how long until that server may be tried
    };
    // The server to try next: the first in turn whose back-off has passed, else the one whose
    // back-off ends first. Moves it behind the others.
    Pick Next(uint64_t now_ms);

    void Failed(size_t index, uint64_t now_ms);
    void Succeeded(size_t index);

    [[nodiscard]] const ServerUrl& Url(size_t index) const { return servers_[index].url; }
    [[nodiscard]] size_t Size() const { return servers_.size(); }
    [[nodiscard]] bool Announced(size_t index) const { return servers_[index].announced; }
    [[nodiscard]] uint32_t Failures(size_t index) const { return servers_[index].failures; }
    // The back-off after `failures` consecutive failures, without jitter.
    [[nodiscard]] uint64_t Delay(uint32_t failures) const;

private:
    struct Server {
        ServerUrl url;
        bool announced = false;
        uint32_t failures = 0;
        uint64_t not_before = 0;
    };
    bool Has(const ServerUrl& url) const;

    std::vector<Server> servers_;
    std::vector<size_t> order_;
    BackOff back_off_;
    bool tls_ = false;
    std::mt19937 rng_;
};

} // namespace pm::nats
