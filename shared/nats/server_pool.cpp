// The server pool. Portable: no OS code here.
#include "shared/nats/server_pool.h"

#include <algorithm>

namespace pm::nats {

ServerPool::ServerPool(const std::vector<ServerUrl>& configured, uint32_t seed, BackOff back_off)
    : back_off_(back_off), rng_(seed) {
    for (const ServerUrl& u : configured) {
        if (u.tls) tls_ = true;
        if (!Has(u) && servers_.size() < kMaxServers) servers_.push_back({u, false, 0, 0});
    }
    for (size_t i = 0; i < servers_.size(); ++i)
        order_.push_back(i);
    std::shuffle(order_.begin(), order_.end(), rng_);
}

bool ServerPool::Has(const ServerUrl& url) const {
    for (const Server& s : servers_)
        if (s.url.host == url.host && s.url.port == url.port) return true;
    return false;
}

size_t ServerPool::AddAnnounced(const std::vector<std::string>& connect_urls) {
    size_t added = 0;
    for (const std::string& text : connect_urls) {
        ServerUrl u;
        std::string error;
        if (servers_.size() >= kMaxServers || !ParseServerUrl(text, u, error) ||
            text.find("://") != std::string::npos)
            continue;
        u.tls = tls_;
        if (Has(u)) continue;
        servers_.push_back({u, true, 0, 0});
        // A newcomer goes in at a random place among the others.
        std::uniform_int_distribution<size_t> where(0, order_.size());
        order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(where(rng_)),
                      servers_.size() - 1);
        ++added;
    }
    return added;
}

ServerPool::Pick ServerPool::Next(uint64_t now_ms) {
    Pick p;
    if (order_.empty()) return p;
    size_t at = 0;
    uint64_t soonest = UINT64_MAX;
    for (size_t k = 0; k < order_.size(); ++k) {
        const Server& s = servers_[order_[k]];
        if (s.not_before <= now_ms) {
            at = k;
            soonest = now_ms;
            break;
        }
        if (s.not_before < soonest) {
            soonest = s.not_before;
            at = k;
        }
    }
    p.index = order_[at];
    p.wait_ms = soonest - now_ms;
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(at));
    order_.push_back(p.index);
    return p;
}

uint64_t ServerPool::Delay(uint32_t failures) const {
    if (failures == 0) return 0;
    uint64_t d = back_off_.first_ms;
    for (uint32_t k = 1; k < failures && d < back_off_.max_ms; ++k)
        d *= 2;
    return std::min<uint64_t>(d, back_off_.max_ms);
}

void ServerPool::Failed(size_t index, uint64_t now_ms) {
    Server& s = servers_[index];
    if (s.failures < 1000) ++s.failures;
    uint64_t jitter = 0;
    if (back_off_.jitter_ms > 0)
        jitter = std::uniform_int_distribution<uint32_t>(0, back_off_.jitter_ms - 1)(rng_);
    s.not_before = now_ms + Delay(s.failures) + jitter;
}

void ServerPool::Succeeded(size_t index) {
    servers_[index].failures = 0;
    servers_[index].not_before = 0;
}

} // namespace pm::nats
