// Portable: no OS code here.
#include "outside/pmhost/host_requests.h"

namespace pm::host {

namespace {
std::string U32(uint32_t v) {
    std::string b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return b;
}
} // namespace

HostAnswer AnswerHostRequest(uint32_t code, const std::vector<std::string>& params,
                             const AlertRing& ring, const HostStats& stats) {
    HostAnswer answer;
    if (code == kCmdListAlerts) {
        uint32_t after = 0;
        if (!params.empty()) {
            if (params[0].size() != 4) {
                answer.status = 1;
                return answer;
            }
            const auto* p = reinterpret_cast<const uint8_t*>(params[0].data());
            after = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                    (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
        }
        answer.items.push_back(U32(ring.Newest()));
        for (const HostAlert* a : ring.Since(after))
            answer.items.push_back(EncodeAlert(*a));
        return answer;
    }
    if (code == kCmdHostStatus) {
        answer.items.push_back(U32(static_cast<uint32_t>(ring.Size())) + U32(ring.Newest()) +
                               U32(stats.pulses) + U32(stats.interval_ms));
        return answer;
    }
    answer.status = 1;
    return answer;
}

} // namespace pm::host
