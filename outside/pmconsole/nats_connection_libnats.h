// The console's connection to a NATS cluster through libnats (the NATS C client, TLS through
// OpenSSL inside it): the remote path's request/reply transport, on which the fleet's bus
// (fleet/fleet_bus_libnats.cpp) and the alert stream (fleet/alert_stream_libnats.cpp) are built.
#pragma once

#include <nats/nats.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "outside/pmconsole/remote_settings.h"
#include "outside/pmconsole/request_transport.h"

namespace pm::console {

class FleetBus;

// What a subscription that many machines answer may hold before the library drops messages:
// every machine of the largest fleet twice, and at most 128 MiB.
constexpr int kPendingMsgs = 200000;
constexpr int kPendingBytes = 128 << 20;

// The library's last error as one line for the console's user.
std::string NatsErrorText(natsStatus s);

class LibnatsConnection final : public RequestTransport {
public:
    explicit LibnatsConnection(std::string machine);
    ~LibnatsConnection() override;
    LibnatsConnection(const LibnatsConnection&) = delete;
    LibnatsConnection& operator=(const LibnatsConnection&) = delete;

    bool Connect(const RemoteSettings& s, const std::string& password, std::string& error);

    WireReply Exchange(const WireRequest& request) override;
    // The connection is shared by the fan-out's threads: libnats is thread-safe, and each
    // request has its own inbox.
    WireReply ExchangeWith(const std::string& machine, const WireRequest& request);

    natsConnection* nats() const { return nc_; }
    // The prefix of this user's inboxes (each user hears only its own).
    const std::string& inbox_prefix() const { return inbox_prefix_; }
    const std::string& user() const { return user_; }

    // The count of permission violations the servers reported on this connection so far.
    uint64_t ViolationsSeen();
    // A violation since `violations` that names a subject starting with `subject_start`.
    bool RefusedSince(uint64_t violations, const std::string& subject_start, std::string& text);

    // The fleet's bus on this connection: made by `make` on first use, ended before the
    // connection (its subscriptions are the connection's).
    FleetBus* Fleet(const std::function<std::unique_ptr<FleetBus>()>& make);

private:
    WireReply Wait(const WireRequest& request, const std::string& subject, const char* inbox,
                   natsSubscription* sub, uint64_t drops, uint64_t violations);
    bool RefusedElsewhere(const std::string& subject, uint64_t violations, std::string& detail);
    void* Closure() const { return reinterpret_cast<void*>(id_); }
    static void OnError(natsConnection* nc, natsSubscription*, natsStatus err, void* closure);
    static void OnDisconnected(natsConnection*, void* closure);

    std::string machine_;
    std::string user_;
    std::string inbox_prefix_ = "_INBOX";
    uintptr_t id_ = 0;
    natsOptions* opts_ = nullptr;
    natsConnection* nc_ = nullptr;
    std::mutex fleet_lock_;
    std::unique_ptr<FleetBus> fleet_;
};

} // namespace pm::console
