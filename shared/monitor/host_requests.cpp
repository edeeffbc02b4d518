// Portable: no OS code here.
#include "shared/monitor/host_requests.h"

#include "shared/base/endian.h"

namespace pm::host {

namespace {
std::string U32(uint32_t v) {
    return le::Bytes32(v);
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
            after = le::Load32(params[0].data());
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
