// The fleet's stored alerts over libnats (JetStream): their reading, from a time or by this
// user's durable consumer. The stream is made through the JetStream API (fleet_queue).
#include <algorithm>

#include "outside/pmconsole/fleet/fleet_bus_libnats.h"
#include "outside/pmconsole/fleet/fleet_queue.h"
#include "shared/remote/alerts.h"

namespace pm::console {
namespace {

bool JetStream(natsConnection* nc, jsCtx** js, std::string& error) {
    const natsStatus st = natsConnection_JetStream(js, nc, nullptr);
    if (st != NATS_OK) error = "no JetStream context: " + NatsErrorText(st);
    return st == NATS_OK;
}

} // namespace

bool LibnatsFleetBus::SetupAlerts(uint32_t replicas, std::string& error) {
    return SetupAlertStream(*this, replicas, error); // through the JetStream API, as every stream
}

bool LibnatsFleetBus::ReadAlerts(const AlertReading& reading, const AlertSink& each,
                                 std::string& error) {
    jsCtx* js = nullptr;
    if (!JetStream(connection_.nats(), &js, error)) return false;
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = remote::kAlertStream;
    natsSubscription* sub = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    const uint64_t violations = connection_.ViolationsSeen();
    natsStatus st = NATS_OK;
    const bool from_time = reading.since_ms != 0;
    if (from_time) {
        // From a time: an ordered consumer of this reading only, delivering into this
        // user's inbox and gone with the reading (nothing to acknowledge, nothing another
        // user's rights could reach).
        so.Ordered = true;
        so.Config.DeliverPolicy = js_DeliverByStartTime;
        so.Config.OptStartTime = static_cast<int64_t>(reading.since_ms) * 1000000LL;
        st = js_SubscribeSync(&sub, js, remote::kAlertWildcard, nullptr, &so, &code);
    } else {
        // What this user has not read yet: its durable consumer, acknowledged as shown.
        so.Config.AckPolicy = js_AckExplicit;
        const std::string durable = reading.durable.empty()
                                        ? remote::AlertDurableName(connection_.user())
                                        : reading.durable;
        st = js_PullSubscribe(&sub, js, remote::kAlertWildcard, durable.c_str(), nullptr, &so,
                              &code);
    }
    if (st != NATS_OK) {
        std::string refusal;
        error = code == JSStreamNotFoundErr
                    ? "the stream PROCMGR_ALERTS does not exist: pmconsole fleet setup"
                : st == NATS_NOT_PERMITTED || connection_.RefusedSince(violations, "$JS.", refusal)
                    ? "not permitted to read the stream: " +
                          (refusal.empty() ? NatsErrorText(st) : refusal)
                    : "cannot read the stream: " + NatsErrorText(st);
        jsCtx_Destroy(js);
        return false;
    }
    bool more = true;
    uint64_t last = NowMs();
    // One stored alert to the sink; those not shown (the reading ended) are not
    // acknowledged and come again.
    auto show = [&](natsMsg* m) {
        if (more) {
            more = each(natsMsg_GetSubject(m),
                        std::string(natsMsg_GetData(m),
                                    static_cast<size_t>(std::max(0, natsMsg_GetDataLength(m)))));
            if (!from_time && (more || !reading.ack_taken_only)) natsMsg_Ack(m, nullptr);
        }
        natsMsg_Destroy(m);
    };
    while (more) {
        natsMsgList list = {nullptr, 0};
        natsMsg* one = nullptr;
        st = from_time ? natsSubscription_NextMsg(&one, sub, 500)
                       : natsSubscription_Fetch(&list, sub, 256, 500, &code);
        if (st == NATS_TIMEOUT) {
            if (!reading.follow && NowMs() - last >= reading.idle_ms) break;
            if (reading.stopped && reading.stopped()) break;
            continue;
        }
        if (st != NATS_OK) {
            error = "reading the stream failed: " + NatsErrorText(st);
            more = false;
            break;
        }
        last = NowMs();
        if (one != nullptr) show(one);
        for (int i = 0; i < list.Count; ++i) {
            show(list.Msgs[i]);
            list.Msgs[i] = nullptr;
        }
        natsMsgList_Destroy(&list);
        if (more && reading.stopped && reading.stopped()) break;
    }
    natsSubscription_Destroy(sub);
    jsCtx_Destroy(js);
    return error.empty();
}

} // namespace pm::console
