// The fleet's bus over the console's libnats connection: requests to one machine, broadcasts
// whose answers are gathered, the presence messages (fleet_bus_libnats.cpp), and the stream of
// stored alerts (alert_stream_libnats.cpp) and a bucket's last values (last_values_libnats.cpp).
#pragma once

#include <nats/nats.h>

#include <memory>

#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/fleet/held_messages.h"
#include "outside/pmconsole/nats_connection_libnats.h"

namespace pm::console {

class LibnatsFleetBus final : public FleetBus {
public:
    explicit LibnatsFleetBus(LibnatsConnection& connection) : connection_(connection) {}
    ~LibnatsFleetBus() override;
    LibnatsFleetBus(const LibnatsFleetBus&) = delete;
    LibnatsFleetBus& operator=(const LibnatsFleetBus&) = delete;

    WireReply ExchangeWith(const std::string& machine, const WireRequest& request) override {
        return connection_.ExchangeWith(machine, request);
    }
    std::vector<std::string> Gather(const std::string& subject, const std::string& payload,
                                    uint32_t timeout_ms, uint32_t quiet_ms, size_t limit) override;
    bool AskWithHeaders(const std::string& subject, const std::string& headers,
                        const std::string& payload, uint32_t timeout_ms,
                        std::string& answer) override;
    bool AskPresence() override;
    bool NextPresence(std::string& subject, std::string& payload, uint32_t wait_ms) override;
    bool SetupAlerts(uint32_t replicas, std::string& error) override;
    bool ReadAlerts(const AlertReading& reading, const AlertSink& each,
                    std::string& error) override;
    bool ReadLastValues(const std::string& stream, const std::string& filter, const AlertSink& each,
                        std::string& error) override;
    uint64_t NowMs() override;
    std::string User() const override { return connection_.user(); }

private:
    bool SubscribePresence();

    LibnatsConnection& connection_;
    std::shared_ptr<HeldMessages> presence_ = std::make_shared<HeldMessages>();
    natsSubscription* hellos_ = nullptr;
    natsSubscription* heartbeats_ = nullptr;
};

} // namespace pm::console
