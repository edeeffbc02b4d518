// The fleet's bus over libnats: broadcasts whose answers are gathered, and the presence.
#include "outside/pmconsole/fleet/fleet_bus_libnats.h"

#include <algorithm>
#include <chrono>

#include "outside/pmconsole/remote_transport.h"
#include "shared/remote/presence.h"
#include "shared/remote/subjects.h"

namespace pm::console {

LibnatsFleetBus::~LibnatsFleetBus() {
    natsSubscription_Destroy(presence_);
    natsSubscription_Destroy(heartbeats_);
}

std::vector<std::string> LibnatsFleetBus::Gather(const std::string& subject,
                                                 const std::string& payload, uint32_t timeout_ms,
                                                 uint32_t quiet_ms, size_t limit) {
    std::vector<std::string> answers;
    const std::string inbox = remote::NewInbox(connection_.inbox_prefix());
    natsSubscription* sub = nullptr;
    natsStatus st = natsConnection_SubscribeSync(&sub, connection_.nats(), inbox.c_str());
    // Many answers may come at once: held up to a bound, the rest dropped by the library.
    if (st == NATS_OK) st = natsSubscription_SetPendingLimits(sub, kPendingMsgs, kPendingBytes);
    if (st == NATS_OK)
        st = natsConnection_PublishRequest(connection_.nats(), subject.c_str(), inbox.c_str(),
                                           payload.data(), static_cast<int>(payload.size()));
    const uint64_t start = NowMs();
    uint64_t last = 0;
    while (st == NATS_OK && answers.size() < limit) {
        const uint64_t now = NowMs();
        uint64_t until = start + timeout_ms;
        if (last != 0 && last + quiet_ms < until) until = last + quiet_ms;
        if (now >= until) break;
        natsMsg* msg = nullptr;
        const natsStatus got =
            natsSubscription_NextMsg(&msg, sub, static_cast<int64_t>(until - now));
        if (got == NATS_TIMEOUT) continue;
        if (got != NATS_OK) break;
        if (!natsMsg_IsNoResponders(msg))
            answers.emplace_back(natsMsg_GetData(msg),
                                 static_cast<size_t>(std::max(0, natsMsg_GetDataLength(msg))));
        natsMsg_Destroy(msg);
        last = NowMs();
    }
    natsSubscription_Destroy(sub);
    return answers;
}

bool LibnatsFleetBus::AskPresence() {
    if (!SubscribePresence()) return false;
    return natsConnection_PublishString(connection_.nats(), remote::kDiscoverSubject, "{}") ==
           NATS_OK;
}

bool LibnatsFleetBus::NextPresence(std::string& subject, std::string& payload, uint32_t wait_ms) {
    if (!SubscribePresence()) return false;
    // Hellos first, then heartbeats; each waits half the time.
    for (natsSubscription* sub : {presence_, heartbeats_}) {
        natsMsg* msg = nullptr;
        if (natsSubscription_NextMsg(&msg, sub, std::max<int64_t>(1, wait_ms / 2)) != NATS_OK)
            continue;
        subject = natsMsg_GetSubject(msg);
        payload.assign(natsMsg_GetData(msg),
                       static_cast<size_t>(std::max(0, natsMsg_GetDataLength(msg))));
        natsMsg_Destroy(msg);
        return true;
    }
    return false;
}

uint64_t LibnatsFleetBus::NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool LibnatsFleetBus::SubscribePresence() {
    if (presence_ != nullptr) return true;
    natsStatus st =
        natsConnection_SubscribeSync(&presence_, connection_.nats(), remote::kHelloWildcard);
    if (st == NATS_OK)
        st = natsConnection_SubscribeSync(&heartbeats_, connection_.nats(),
                                          remote::kHeartbeatWildcard);
    for (natsSubscription* sub : {presence_, heartbeats_})
        if (st == NATS_OK) st = natsSubscription_SetPendingLimits(sub, kPendingMsgs, kPendingBytes);
    if (st == NATS_OK) return true;
    natsSubscription_Destroy(presence_);
    natsSubscription_Destroy(heartbeats_);
    presence_ = heartbeats_ = nullptr;
    return false;
}

FleetBus* FleetOf(RequestTransport* transport) {
    auto* connection = dynamic_cast<LibnatsConnection*>(transport);
    if (connection == nullptr) return nullptr;
    return connection->Fleet(
        [connection] { return std::make_unique<LibnatsFleetBus>(*connection); });
}

} // namespace pm::console
