// The fleet's bus over libnats: broadcasts whose answers are gathered, and the presence.
#include "outside/pmconsole/fleet/fleet_bus_libnats.h"

#include <algorithm>
#include <chrono>

#include "outside/pmconsole/remote_transport.h"
#include "shared/remote/presence.h"
#include "shared/remote/subjects.h"

namespace pm::console {

LibnatsFleetBus::~LibnatsFleetBus() {
    for (natsSubscription* sub : {hellos_, heartbeats_}) {
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
    }
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
    nats::Message m;
    if (!presence_->Take(m, wait_ms)) return false;
    subject = std::move(m.subject);
    payload = std::move(m.payload);
    return true;
}

uint64_t LibnatsFleetBus::NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Hellos and heartbeats into one queue as they come, on the library's thread: a reader that
// waited on each subscription in turn fell behind a large fleet's heartbeats, and a machine
// gone was shown up from its old heartbeats long after. Each subscription holds the queue
// until the library says it will call it no more.
namespace {

void OnPresence(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    nats::Message m;
    m.subject = natsMsg_GetSubject(msg);
    m.payload.assign(natsMsg_GetData(msg),
                     static_cast<size_t>(std::max(0, natsMsg_GetDataLength(msg))));
    natsMsg_Destroy(msg);
    (*static_cast<std::shared_ptr<HeldMessages>*>(closure))->Put(m);
}

void OnPresenceClosed(void* closure) {
    delete static_cast<std::shared_ptr<HeldMessages>*>(closure);
}

natsStatus SubscribeInto(natsSubscription** sub, natsConnection* nc, const char* subject,
                         const std::shared_ptr<HeldMessages>& into) {
    auto* hold = new std::shared_ptr<HeldMessages>(into);
    natsStatus st = natsConnection_Subscribe(sub, nc, subject, &OnPresence, hold);
    if (st != NATS_OK) {
        delete hold;
        return st;
    }
    st = natsSubscription_SetOnCompleteCB(*sub, &OnPresenceClosed, hold);
    if (st == NATS_OK) st = natsSubscription_SetPendingLimits(*sub, kPendingMsgs, kPendingBytes);
    return st;
}

} // namespace

bool LibnatsFleetBus::SubscribePresence() {
    if (hellos_ != nullptr) return true;
    natsStatus st = SubscribeInto(&hellos_, connection_.nats(), remote::kHelloWildcard, presence_);
    if (st == NATS_OK)
        st = SubscribeInto(&heartbeats_, connection_.nats(), remote::kHeartbeatWildcard, presence_);
    if (st == NATS_OK) return true;
    for (natsSubscription* sub : {hellos_, heartbeats_}) {
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
    }
    hellos_ = heartbeats_ = nullptr;
    return false;
}

FleetBus* FleetOf(RequestTransport* transport) {
    auto* connection = dynamic_cast<LibnatsConnection*>(transport);
    if (connection == nullptr) return nullptr;
    return connection->Fleet(
        [connection] { return std::make_unique<LibnatsFleetBus>(*connection); });
}

} // namespace pm::console
