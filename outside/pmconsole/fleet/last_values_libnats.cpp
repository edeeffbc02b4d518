// A key-value bucket's last values over libnats: one consumer that delivers the last
// message of every subject, instead of one request per key (10,000 machines' records would
// otherwise take 10,000 requests).
#include <algorithm>

#include "outside/pmconsole/fleet/fleet_bus_libnats.h"

namespace pm::console {
namespace {

// Between two values: a consumer that stays silent this long is taken as broken.
constexpr int64_t kValueWaitMs = 3000;
constexpr int64_t kCreateWaitMs = 2000;

} // namespace

bool LibnatsFleetBus::ReadLastValues(const std::string& stream, const std::string& filter,
                                     const AlertSink& each, std::string& error) {
    jsCtx* js = nullptr;
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = kCreateWaitMs; // a cluster that does not permit it answers nothing
    natsStatus st = natsConnection_JetStream(&js, connection_.nats(), &options);
    if (st != NATS_OK) {
        error = "no JetStream context: " + NatsErrorText(st);
        return false;
    }
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = stream.c_str();
    // A push consumer of this reading's own (the servers drop it once its inbox is gone),
    // nothing to acknowledge and no flow control to answer: it reads each value once.
    so.Config.AckPolicy = js_AckNone;
    so.Config.DeliverPolicy = js_DeliverLastPerSubject;
    so.ManualAck = true;
    natsSubscription* sub = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    st = js_SubscribeSync(&sub, js, filter.c_str(), nullptr, &so, &code);
    // Every value may come before the first is read.
    if (st == NATS_OK) st = natsSubscription_SetPendingLimits(sub, -1, -1);
    bool done = false;
    while (st == NATS_OK && !done) {
        natsMsg* m = nullptr;
        st = natsSubscription_NextMsg(&m, sub, kValueWaitMs);
        if (st != NATS_OK) break;
        jsMsgMetaData* meta = nullptr;
        if (natsMsg_GetMetaData(&meta, m) == NATS_OK) {
            done = meta->NumPending == 0; // the last one the consumer had when it started
            jsMsgMetaData_Destroy(meta);
        }
        const bool more =
            each(natsMsg_GetSubject(m),
                 std::string(natsMsg_GetData(m),
                             static_cast<size_t>(std::max(0, natsMsg_GetDataLength(m)))));
        natsMsg_Destroy(m);
        done = done || !more;
    }
    if (!done) error = "reading " + stream + " failed: " + NatsErrorText(st);
    if (sub != nullptr) natsSubscription_Destroy(sub);
    jsCtx_Destroy(js);
    return done;
}

} // namespace pm::console
