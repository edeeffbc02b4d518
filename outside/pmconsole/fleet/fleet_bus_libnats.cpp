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

bool LibnatsFleetBus::AskWithHeaders(const std::string& subject, const std::string& headers,
                                     const std::string& payload, uint32_t timeout_ms,
                                     std::string& answer) {
    const std::string inbox = remote::NewInbox(connection_.inbox_prefix());
    natsSubscription* sub = nullptr;
    natsMsg* msg = nullptr;
    natsStatus st = natsConnection_SubscribeSync(&sub, connection_.nats(), inbox.c_str());
    if (st == NATS_OK)
        st = natsMsg_Create(&msg, subject.c_str(), inbox.c_str(), payload.data(),
                            static_cast<int>(payload.size()));
    // "NATS/1.0\r\nName: value\r\n...\r\n": each line after the first a header.
    for (size_t at = headers.find("\r\n"); st == NATS_OK && at != std::string::npos;) {
        const size_t end = headers.find("\r\n", at + 2);
        if (end == std::string::npos) break;
        const std::string line = headers.substr(at + 2, end - at - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            const size_t v = line.find_first_not_of(' ', colon + 1);
            st = natsMsgHeader_Set(msg, line.substr(0, colon).c_str(),
                                   v == std::string::npos ? "" : line.substr(v).c_str());
        }
        at = end;
    }
    if (st == NATS_OK) st = natsConnection_PublishMsg(connection_.nats(), msg);
    natsMsg* reply = nullptr;
    bool got = false;
    if (st == NATS_OK &&
        natsSubscription_NextMsg(&reply, sub, static_cast<int64_t>(timeout_ms)) == NATS_OK) {
        got = !natsMsg_IsNoResponders(reply);
        if (got)
            answer.assign(natsMsg_GetData(reply),
                          static_cast<size_t>(std::max(0, natsMsg_GetDataLength(reply))));
        natsMsg_Destroy(reply);
    }
    natsMsg_Destroy(msg);
    natsSubscription_Destroy(sub);
    return got;
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
