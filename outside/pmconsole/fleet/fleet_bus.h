// What the fleet commands need from a NATS cluster: a request to one machine, a broadcast whose
// answers are gathered, and the presence messages as they come. The project's own connection
// (connection_bus.cpp: Windows) or libnats (fleet_bus_libnats.cpp: Linux); tests may answer
// from memory. Portable: no OS code, no NATS here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "outside/pmconsole/request_transport.h"

namespace pm::console {

// How the stored alerts are read.
struct AlertReading {
    uint64_t since_ms = 0;   // 0: what this user's durable consumer has not read yet
    bool follow = false;     // keep waiting for new ones
    uint32_t idle_ms = 2000; // without --follow: done after this long without a new one
    // When set, asked after each wait for new ones (the stream is being read): true ends it.
    std::function<bool()> stopped;
    // The durable consumer read when since_ms is 0 (default: this user's own).
    std::string durable;
    // An alert the sink answers false for stays unacknowledged (it comes again); otherwise
    // every alert handed to the sink is acknowledged.
    bool ack_taken_only = false;
};
// One stored alert: the subject it was published on and its payload; false ends the reading.
using AlertSink = std::function<bool(const std::string& subject, const std::string& payload)>;

class FleetBus {
public:
    virtual ~FleetBus() = default;
    // One request to one machine, as RequestTransport::Exchange; callable from many threads.
    virtual WireReply ExchangeWith(const std::string& machine, const WireRequest& request) = 0;
    // Publishes `payload` on `subject` with a fresh reply subject and gathers the answers that
    // come within `timeout_ms`, ending early once `quiet_ms` pass without a new one after the
    // first (at most `limit` answers are kept).
    virtual std::vector<std::string> Gather(const std::string& subject, const std::string& payload,
                                            uint32_t timeout_ms, uint32_t quiet_ms,
                                            size_t limit) = 0;
    // Gather's first answer to a message that carries NATS headers (a whole "NATS/1.0" block):
    // false when none came in time or this bus sends no headers.
    virtual bool AskWithHeaders(const std::string& subject, const std::string& headers,
                                const std::string& payload, uint32_t timeout_ms,
                                std::string& answer) {
        (void)subject, (void)headers, (void)payload, (void)timeout_ms, (void)answer;
        return false;
    }
    // Asks every machine to say hello (procmgr.discover): each gate answers on its own hello
    // subject, so that the servers vouch for the name. Subscribes to the presence first.
    virtual bool AskPresence() = 0;
    // The next hello or heartbeat (its subject and payload), waiting at most `wait_ms`; false
    // when none came. The first call subscribes.
    virtual bool NextPresence(std::string& subject, std::string& payload, uint32_t wait_ms) = 0;
    // Creates the stream PROCMGR_ALERTS (`replicas` copies) or brings its settings up to date;
    // false with one line.
    virtual bool SetupAlerts(uint32_t replicas, std::string& error) = 0;
    // Reads the stored alerts in the stream's order (each acknowledged once shown); false
    // with one line when the stream cannot be read.
    virtual bool ReadAlerts(const AlertReading& reading, const AlertSink& each,
                            std::string& error) = 0;
    // The last message of each subject under `filter` in `stream` (a key-value bucket's
    // values), each given to `each`, through one consumer of its own: one request for them all.
    // False with one line when it cannot (this bus has none: the caller asks key by key).
    virtual bool ReadLastValues(const std::string& stream, const std::string& filter,
                                const AlertSink& each, std::string& error) {
        (void)stream, (void)filter, (void)each;
        error = "this connection reads no consumer";
        return false;
    }
    // Milliseconds of a steady clock.
    virtual uint64_t NowMs() = 0;
    // The user the servers authenticated this console as; empty when it connected without one.
    virtual std::string User() const { return std::string(); }
};

// A RequestTransport to one machine of the bus, each request's wait bounded by `timeout_ms`.
class MachineTransport final : public RequestTransport {
public:
    MachineTransport(FleetBus& bus, std::string machine, uint32_t timeout_ms)
        : bus_(bus), machine_(std::move(machine)), timeout_ms_(timeout_ms) {}
    WireReply Exchange(const WireRequest& request) override {
        WireRequest r = request;
        if (timeout_ms_ != 0 && timeout_ms_ < r.timeout_ms) r.timeout_ms = timeout_ms_;
        return bus_.ExchangeWith(machine_, r);
    }

private:
    FleetBus& bus_;
    std::string machine_;
    uint32_t timeout_ms_;
};

} // namespace pm::console
