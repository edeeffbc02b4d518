// Portable: queued requests and their results through the JetStream API.
#include "outside/pmconsole/fleet/fleet_queue.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <nlohmann/json.hpp>

#include "outside/pmconsole/fleet/fleet_alerts.h"
#include "outside/pmconsole/fleet/fleet_fanout.h"
#include "outside/pmconsole/fleet/fleet_machines.h"
#include "outside/pmconsole/request_transport.h"
#include "shared/base/endian.h"
#include "shared/remote/alerts.h"
#include "shared/ipc/message_layout.h"
#include "shared/remote/statuses.h"
#include "shared/text/json_string.h"

namespace pm::console {
namespace {

// A machine's first consumer is made by the cluster's meta leader and elects a group of its
// own: seconds on a cluster that has just started.
constexpr uint32_t kConsumerWaitMs = 15000;
constexpr uint64_t kStreamNameInUse = 10058;

std::string Words(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

// The last `count` messages of a stream, oldest first, each given to `each`.
bool ReadStream(FleetBus& bus, const char* stream, uint32_t count,
                const std::function<void(const std::string& data)>& each, std::string& error) {
    std::string answer, description;
    uint64_t code = 0, first = 0, last = 0;
    if (!AskApi(bus, std::string("$JS.API.STREAM.INFO.") + stream, "", answer)) {
        error = "no answer from JetStream (not permitted, or no server has it)";
        return false;
    }
    if (remote::ApiError(answer, description, code)) {
        error = code == 10059
                    ? std::string("the stream ") + stream + " does not exist: pmconsole fleet setup"
                    : description;
        return false;
    }
    if (!remote::StreamRange(answer, first, last)) {
        error = "an unreadable answer from JetStream";
        return false;
    }
    if (first == 0 || last < first) return true; // empty
    uint64_t from = last - first + 1 > count ? last - count + 1 : first;
    for (uint64_t seq = from; seq <= last; ++seq) {
        if (!AskApi(bus, std::string("$JS.API.STREAM.MSG.GET.") + stream,
                    "{\"seq\":" + std::to_string(seq) + "}", answer)) {
            error = "JetStream stopped answering";
            return false;
        }
        std::string subject, data;
        // A gap: taken from a work queue, or replaced by a newer record of its id.
        if (remote::StoredMessage(answer, subject, data)) each(data);
    }
    return true;
}

// Gives back a stored reply as the live request's answer: the reply message, its sequence
// number set to the new request's, or the gate's status.
class ReplayTransport final : public RequestTransport {
public:
    explicit ReplayTransport(const remote::QueueResult& r) : r_(r) {}
    WireReply Exchange(const WireRequest& request) override {
        WireReply w;
        if (used_) return w; // a second request: no reply
        used_ = true;
        if (r_.gate_status != 0) {
            w.outcome = WireOutcome::kGateStatus;
            w.gate_status = r_.gate_status;
            return w;
        }
        if (r_.reply.size() < kavipc::kOffSeqNo + 4) return w;
        w.outcome = WireOutcome::kReply;
        w.message = r_.reply;
        le::Store32(reinterpret_cast<uint8_t*>(&w.message[kavipc::kOffSeqNo]), request.seq_no);
        return w;
    }

private:
    const remote::QueueResult& r_;
    bool used_ = false;
};

} // namespace

bool AskApi(FleetBus& bus, const std::string& subject, const std::string& payload,
            std::string& answer, uint32_t wait_ms) {
    const std::vector<std::string> got = bus.Gather(subject, payload, wait_ms, 0, 1);
    if (got.empty()) return false;
    answer = got[0];
    return true;
}

namespace {

bool DirectGets(const std::string& json, const char* where) {
    const nlohmann::json j = nlohmann::json::parse(json, nullptr, false);
    const nlohmann::json* c =
        where[0] != '\0' && j.is_object() && j.contains(where) ? &j[where] : &j;
    return c->is_object() && c->value("allow_direct", false);
}

} // namespace

bool MakeStream(FleetBus& bus, const char* name, const std::string& config, std::string& error) {
    std::string answer, description, info;
    uint64_t code = 0;
    for (int k = 0; k < 10; ++k) {
        if (!AskApi(bus, std::string("$JS.API.STREAM.CREATE.") + name, config, answer)) continue;
        bool direct_before = true;
        if (remote::ApiError(answer, description, code) && code == kStreamNameInUse) {
            direct_before = AskApi(bus, std::string("$JS.API.STREAM.INFO.") + name, "", info) &&
                            DirectGets(info, "config");
            if (!AskApi(bus, std::string("$JS.API.STREAM.UPDATE.") + name, config, answer))
                continue;
        }
        if (!remote::ApiError(answer, description, code)) {
            // nats-server 2.9 answers the direct gets an update turned on only once the stream
            // has changed leaders: it is asked to.
            if (!direct_before && DirectGets(config, ""))
                AskApi(bus, std::string("$JS.API.STREAM.LEADER.STEPDOWN.") + name, "", info);
            return true;
        }
        // A cluster still choosing its leaders, or loaded, answers with an error that passes:
        // asked again a moment later, the last error said if it stays.
        error = std::string("cannot create the stream ") + name + ": " + description;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    if (error.empty())
        error = std::string("cannot create the stream ") + name + ": no answer from JetStream";
    return false;
}

bool SetupQueueStreams(FleetBus& bus, uint32_t replicas, std::string& error) {
    return MakeStream(bus, remote::kQueueStream, remote::QueueStreamJson(replicas), error) &&
           MakeStream(bus, remote::kResultStream, remote::ResultStreamJson(replicas), error);
}

bool SetupAlertStream(FleetBus& bus, uint32_t replicas, std::string& error) {
    return MakeStream(bus, remote::kAlertStream, remote::AlertStreamJson(replicas), error);
}

int QueueRequest(FleetBus& bus, const remote::QueuedRequest& q, std::string& error) {
    std::string answer, description;
    uint64_t code = 0;
    // The machine's consumer: made by whoever queues, so that a gate needs no right to make one.
    if (!AskApi(bus, remote::QueueConsumerCreateSubject(q.machine),
                remote::QueueConsumerJson(q.machine), answer, kConsumerWaitMs)) {
        error = "no answer from JetStream (not permitted to queue, or JetStream not ready)";
        return kExitNotPermitted;
    }
    if (remote::ApiError(answer, description, code)) {
        error = code == 10059 ? std::string("the stream ") + remote::kQueueStream +
                                    " does not exist: pmconsole fleet setup"
                              : "the machine's consumer: " + description;
        return kExitNoReply;
    }
    if (!AskApi(bus, remote::QueueSubject(q.machine), remote::QueuedJson(q), answer)) {
        error = "the stream did not answer: not permitted to queue";
        return kExitNotPermitted;
    }
    if (!remote::PublishStored(answer, remote::kQueueStream)) {
        error = remote::ApiError(answer, description, code) ? description : answer;
        return kExitNoReply;
    }
    return kExitReply;
}

bool ParseDuration(const std::string& text, uint64_t& seconds) {
    uint64_t since = 0;
    const uint64_t now = 100ull * 365 * 86400 * 1000;
    if (text.size() < 2 || text.back() < 'a' || text.back() > 'z' ||
        !ParseSince(text, now, since) || since >= now)
        return false;
    seconds = (now - since) / 1000;
    return seconds > 0;
}

int ShowPending(FleetBus& bus, ConsoleIo& io, const StreamListing& l) {
    std::string error;
    size_t shown = 0;
    const bool ok = ReadStream(
        bus, remote::kQueueStream, l.count,
        [&](const std::string& data) {
            remote::QueuedRequest q;
            if (!remote::ParseQueued(data, q) || !MachineMatches(l.pattern, q.machine)) return;
            ++shown;
            if (l.json) {
                io.Out("{\"machine\": " + JsonString(q.machine) + ", \"id\": " + JsonString(q.id) +
                       ", \"by\": " + JsonString(q.by) +
                       ", \"queued\": " + JsonString(UtcText(q.queued_ms)) +
                       ", \"expires\": " + JsonString(UtcText(q.expires_ms)) +
                       ", \"expired\": " + (q.expires_ms <= l.now_ms ? "true" : "false") +
                       ", \"command\": " + JsonString(Words(q.words)) + "}\n");
            } else {
                io.Out(q.machine + "  " + q.id + "  queued " + UtcText(q.queued_ms) + " by " +
                       q.by + ", expires " + UtcText(q.expires_ms) +
                       (q.expires_ms <= l.now_ms ? " (expired)" : "") + ": " + Words(q.words) +
                       "\n");
            }
        },
        error);
    if (!ok) {
        io.Err("pmconsole fleet pending: " + error + "\n");
        return kExitNoReply;
    }
    if (!l.json) io.Out(std::to_string(shown) + " waiting\n");
    return kExitReply;
}

int ShowResults(FleetBus& bus, ConsoleIo& io, const StreamListing& l) {
    std::string error;
    const bool ok = ReadStream(
        bus, remote::kResultStream, l.count,
        [&](const std::string& data) {
            remote::QueueResult r;
            if (!remote::ParseResult(data, r) || !MachineMatches(l.pattern, r.request.machine))
                return;
            const remote::QueuedRequest& q = r.request;
            FanOutResult shown;
            shown.machine = q.machine;
            shown.exit_code = kExitNoReply;
            if (r.state == remote::QueueState::kDone && r.gate_status == 0 && r.reply.empty()) {
                shown.err = "the reply (" + std::to_string(r.reply_size) +
                            " bytes) was larger than a result keeps\n";
            } else if (r.state == remote::QueueState::kDone) {
                // The command that queued it decodes the reply, as it would a live one.
                ReplayTransport replay(r);
                CaptureIo one(io, replay, "pmconsole-fleet");
                std::vector<std::string> words = q.words;
                if (l.json && !words.empty()) words.insert(words.begin() + 1, "--json");
                shown.exit_code = RunConsole(words, one);
                shown.out = std::move(one.out);
                shown.err = std::move(one.err);
            } else if (r.state == remote::QueueState::kStarted) {
                shown.err = "started, no result recorded (the gate stopped while it ran); it "
                            "is not run again\n";
            } else {
                shown.err = "expired before its machine took it: never run\n";
            }
            const std::string head = std::string(remote::QueueStateText(r.state));
            if (l.json) {
                std::string line = FanOutJson(shown);
                line.insert(line.size() - 2,
                            ", \"id\": " + JsonString(q.id) + ", \"state\": " + JsonString(head) +
                                ", \"by\": " + JsonString(q.by) +
                                ", \"queued\": " + JsonString(UtcText(q.queued_ms)) +
                                ", \"at\": " + JsonString(UtcText(r.at_ms)) +
                                ", \"command\": " + JsonString(Words(q.words)));
                io.Out(line);
                return;
            }
            std::string text = "== " + q.machine + "  " + q.id + "  " + head + " " +
                               UtcText(r.at_ms) + "  (queued " + UtcText(q.queued_ms) + " by " +
                               q.by + ": " + Words(q.words) + ")\n" + shown.out;
            if (!shown.out.empty() && shown.out.back() != '\n') text += "\n";
            io.Out(text);
            if (!shown.err.empty()) io.Err(q.machine + ": " + shown.err);
        },
        error);
    if (!ok) {
        io.Err("pmconsole fleet results: " + error + "\n");
        return kExitNoReply;
    }
    return kExitReply;
}

} // namespace pm::console
