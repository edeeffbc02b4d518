// The Alertmanager forwarder: reads PROCMGR_ALERTS through its durable consumer and posts each
// alert to every Alertmanager, trying again with back-off until each answered 200; only then is
// the stored alert acknowledged. One line on stderr when an Alertmanager refuses or cannot be
// reached, one when it accepts again.
#include "outside/pmconsole/web/alertmanager_forward_posix.h"

#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/fleet/alertmanager_alerts.h"
#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/remote_transport.h"

namespace pm::console {
namespace {

std::atomic<bool> g_stop{false};
void OnStop(int) {
    g_stop = true;
}

uint64_t WallMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// One Alertmanager: its client, and whether it is failing now (said once per outage).
struct Target {
    std::string url, path;
    std::unique_ptr<httplib::Client> client;
    bool failing = false;
    uint64_t failing_since_ms = 0;
};

class Forwarder {
public:
    explicit Forwarder(const ForwardOptions& o) : states_(o.resolve_after_s * 1000) {
        for (const std::string& url : o.urls) {
            Target t;
            std::string origin;
            SplitAlertmanagerUrl(url, origin, t.path);
            t.url = url;
            t.client = std::make_unique<httplib::Client>(origin);
            t.client->set_connection_timeout(2, 0);
            t.client->set_read_timeout(10, 0);
            t.client->set_write_timeout(10, 0);
            targets_.push_back(std::move(t));
        }
    }

    // Posts `body` (a JSON array) to every Alertmanager until each accepted it; false when
    // told to stop first.
    bool Post(const std::string& body, size_t alerts) {
        std::vector<bool> accepted(targets_.size(), false);
        Backoff backoff;
        for (;;) {
            bool all = true;
            for (size_t i = 0; i < targets_.size(); ++i) {
                if (accepted[i]) continue;
                accepted[i] = PostOne(targets_[i], body);
                all = all && accepted[i];
            }
            if (all) {
                posted_ += alerts;
                return true;
            }
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(backoff.NextMs());
            while (std::chrono::steady_clock::now() < until) {
                if (g_stop) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }

    // One stored alert: false (not acknowledged) when told to stop before it was accepted.
    bool Forward(const std::string& subject, const std::string& payload) {
        remote::AlertRecord a;
        if (!remote::ParseAlertOn(subject, payload, a)) {
            ++skipped_; // never acceptable: acknowledged and left
            return true;
        }
        const uint64_t ends = states_.Seen(a, WallMs());
        if (!Post("[" + AlertmanagerAlert(a, ends) + "]", 1)) return false;
        ++forwarded_;
        return PostStates();
    }

    // The states kept firing, and those resolved.
    bool PostStates() {
        const std::vector<std::string> due = states_.Due(WallMs());
        if (due.empty()) return true;
        std::string body = "[";
        for (const std::string& one : due)
            body += (body.size() > 1 ? "," : "") + one;
        return Post(body + "]", due.size());
    }

    void Summary() const {
        std::fprintf(stderr,
                     "pmconsole fleet alerts: stopped; %llu stored alerts forwarded, %llu "
                     "alerts posted, %llu unreadable skipped\n",
                     static_cast<unsigned long long>(forwarded_),
                     static_cast<unsigned long long>(posted_),
                     static_cast<unsigned long long>(skipped_));
    }

private:
    bool PostOne(Target& t, const std::string& body) {
        const httplib::Result r = t.client->Post(t.path, body, "application/json");
        const bool ok = r && r->status == 200;
        if (ok && t.failing) {
            std::fprintf(stderr,
                         "pmconsole fleet alerts: Alertmanager %s accepts again after %llu s\n",
                         t.url.c_str(),
                         static_cast<unsigned long long>((WallMs() - t.failing_since_ms) / 1000));
            t.failing = false;
        } else if (!ok && !t.failing) {
            const std::string why = r ? "refused with HTTP " + std::to_string(r->status) + ": " +
                                            r->body.substr(0, r->body.find('\n')).substr(0, 200)
                                      : "cannot be reached: " + httplib::to_string(r.error());
            std::fprintf(stderr,
                         "pmconsole fleet alerts: Alertmanager %s %s (trying again, nothing is "
                         "acknowledged meanwhile)\n",
                         t.url.c_str(), why.c_str());
            t.failing = true;
            t.failing_since_ms = WallMs();
        }
        return ok;
    }

    std::vector<Target> targets_;
    FiringStates states_;
    uint64_t forwarded_ = 0, posted_ = 0, skipped_ = 0;
};

} // namespace

int RunAlertForwarder(const std::vector<std::string>& args, const RemoteSettings& settings,
                      const std::string& password) {
    ForwardOptions o;
    std::string error;
    if (!ParseForwardArgs(args, o, error)) {
        std::fprintf(stderr, "pmconsole fleet alerts: %s\n%s", error.c_str(), kForwardHelp);
        return kExitUsage;
    }
    if (o.help) {
        std::fputs(kForwardHelp, stdout);
        return kExitReply;
    }
    std::unique_ptr<RequestTransport> connection = ConnectRemote(settings, password, error);
    FleetBus* bus = FleetOf(connection.get());
    if (bus == nullptr) {
        std::fprintf(stderr, "pmconsole fleet alerts: cannot connect: %s\n",
                     error.empty() ? "not a NATS connection" : error.c_str());
        return kExitNoReply;
    }
    struct sigaction sa = {};
    sa.sa_handler = OnStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    Forwarder forwarder(o);
    AlertReading reading;
    reading.follow = true;
    reading.durable = o.consumer;
    reading.ack_taken_only = true;
    reading.stopped = [&] { return g_stop || !forwarder.PostStates(); };
    std::fprintf(stderr, "pmconsole fleet alerts: forwarding %s through the consumer %s\n",
                 remote::kAlertStream, o.consumer.c_str());
    // A reading that fails (a server restarting, the stream not made yet) starts again after
    // 5 s; its reason is said once.
    std::string said;
    while (!g_stop) {
        error.clear();
        bus->ReadAlerts(
            reading,
            [&](const std::string& subject, const std::string& payload) {
                return !g_stop && forwarder.Forward(subject, payload);
            },
            error);
        if (g_stop) break;
        if (error.empty()) error = "the reading of the stream ended";
        if (error != said) std::fprintf(stderr, "pmconsole fleet alerts: %s\n", error.c_str());
        said = error;
        for (int tick = 0; tick < 50 && !g_stop; ++tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    forwarder.Summary();
    return kExitReply;
}

} // namespace pm::console
