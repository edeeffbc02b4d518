// Portable: queued requests, their results and the gate's decisions.
#include "shared/remote/queue.h"

#include <cstdio>

#include "shared/remote/flat_json.h"
#include "shared/remote/subjects.h"
#include "shared/text/json_string.h"

namespace pm::remote {
namespace {

constexpr char kWordSeparator = '\x1f';
constexpr uint64_t kNsPerSecond = 1000000000ull;

std::string JoinWords(const std::vector<std::string>& words) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) out += kWordSeparator;
        out += words[i];
    }
    return out;
}

std::vector<std::string> SplitWords(const std::string& text) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    size_t start = 0;
    for (;;) {
        const size_t sep = text.find(kWordSeparator, start);
        out.push_back(text.substr(start, sep == std::string::npos ? sep : sep - start));
        if (sep == std::string::npos) return out;
        start = sep + 1;
    }
}

// The fields a queued request and its results share.
std::string RequestFields(const QueuedRequest& q) {
    return "\"id\":" + JsonString(q.id) + ",\"machine\":" + JsonString(q.machine) +
           ",\"subject\":" + JsonString(q.subject) +
           ",\"words\":" + JsonString(JoinWords(q.words)) + ",\"by\":" + JsonString(q.by) +
           ",\"queued_ms\":" + std::to_string(q.queued_ms) +
           ",\"expires_ms\":" + std::to_string(q.expires_ms);
}

bool ReadRequestFields(const FlatObject& o, QueuedRequest& q) {
    std::string words;
    if (!o.Text("id", q.id) || !o.Text("machine", q.machine) || !o.Text("subject", q.subject) ||
        !o.Text("words", words) || !o.Text("by", q.by) || !o.Unsigned("queued_ms", q.queued_ms) ||
        !o.Unsigned("expires_ms", q.expires_ms))
        return false;
    q.words = SplitWords(words);
    Subject s;
    return IsRequestId(q.id) && IsValidMachineName(q.machine) && ParseSubject(q.subject, s) &&
           s.machine == q.machine && q.expires_ms > q.queued_ms;
}

} // namespace

std::string QueueSubject(const std::string& machine) {
    return std::string(kSubjectRoot) + "." + machine + ".queue";
}

std::string ResultSubject(const std::string& machine, const std::string& id) {
    return std::string(kSubjectRoot) + "." + machine + ".results." + id;
}

std::string QueueConsumer(const std::string& machine) {
    return "gate_" + machine;
}

std::string QueueConsumerCreateSubject(const std::string& machine) {
    return std::string("$JS.API.CONSUMER.DURABLE.CREATE.") + kQueueStream + "." +
           QueueConsumer(machine);
}

std::string QueueNextSubject(const std::string& machine) {
    return std::string("$JS.API.CONSUMER.MSG.NEXT.") + kQueueStream + "." + QueueConsumer(machine);
}

std::string QueueConsumerInfoSubject(const std::string& machine) {
    return std::string("$JS.API.CONSUMER.INFO.") + kQueueStream + "." + QueueConsumer(machine);
}

std::string QueueConsumerJson(const std::string& machine) {
    return std::string("{\"stream_name\":\"") + kQueueStream +
           "\",\"config\":{\"durable_name\":\"" + QueueConsumer(machine) +
           "\",\"filter_subject\":\"" + QueueSubject(machine) +
           "\",\"deliver_policy\":\"all\",\"ack_policy\":\"explicit\",\"ack_wait\":" +
           std::to_string(60 * kNsPerSecond) + ",\"max_deliver\":-1,\"max_ack_pending\":1}}";
}

std::string QueueStreamJson(uint32_t replicas) {
    return std::string("{\"name\":\"") + kQueueStream + "\",\"subjects\":[\"" + kQueueWildcard +
           "\"],\"retention\":\"workqueue\",\"storage\":\"file\",\"num_replicas\":" +
           std::to_string(replicas) + "," +
           "\"discard\":\"old\",\"max_age\":" + std::to_string(kQueueMaxAgeSeconds * kNsPerSecond) +
           "}";
}

std::string ResultStreamJson(uint32_t replicas) {
    return std::string("{\"name\":\"") + kResultStream + "\",\"subjects\":[\"" + kResultWildcard +
           "\"],\"retention\":\"limits\",\"storage\":\"file\",\"num_replicas\":" +
           std::to_string(replicas) + "," +
           "\"discard\":\"old\",\"max_msgs_per_subject\":1,\"max_age\":" +
           std::to_string(kQueueMaxAgeSeconds * kNsPerSecond) + "}";
}

std::string RequestId(uint64_t random) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(random));
    return hex;
}

bool IsRequestId(const std::string& id) {
    if (id.size() != 16) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string QueuedJson(const QueuedRequest& q) {
    return "{" + RequestFields(q) + ",\"request\":" + JsonString(Base64(q.request)) + "}";
}

bool ParseQueued(const std::string& json, QueuedRequest& out) {
    FlatObject o;
    QueuedRequest q;
    std::string request;
    if (!o.Read(json) || !ReadRequestFields(o, q) || !o.Text("request", request) ||
        request.size() > (kMaxQueuedRequest + 2) / 3 * 4 || !FromBase64(request, q.request) ||
        q.request.empty())
        return false;
    out = std::move(q);
    return true;
}

std::vector<std::string> KeptWords(const std::vector<std::string>& words) {
    std::vector<std::string> out;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--") {
            out.insert(out.end(), words.begin() + static_cast<long>(i), words.end());
            break;
        }
        if (w == "--password-stdin" || w == "--json") continue; // --json: the reader's choice
        if (w == "--password" || w == "--password-hex" || w == "--password-file" || w == "--user") {
            ++i; // and its value
            continue;
        }
        out.push_back(w);
    }
    for (std::string& w : out)
        for (char& c : w)
            if (c == kWordSeparator) c = ' ';
    return out;
}

const char* QueueStateText(QueueState s) {
    switch (s) {
    case QueueState::kStarted:
        return "started";
    case QueueState::kDone:
        return "done";
    case QueueState::kExpired:
        return "expired";
    }
    return "?";
}

std::string ResultJson(const QueueResult& r) {
    return "{" + RequestFields(r.request) + ",\"state\":\"" + QueueStateText(r.state) +
           "\",\"at_ms\":" + std::to_string(r.at_ms) +
           ",\"gate_status\":" + std::to_string(r.gate_status) +
           ",\"reply_size\":" + std::to_string(r.reply_size) +
           ",\"reply\":" + JsonString(Base64(r.reply)) + "}";
}

bool ParseResult(const std::string& json, QueueResult& out) {
    FlatObject o;
    QueueResult r;
    std::string state, reply;
    uint64_t status = 0;
    if (!o.Read(json) || !ReadRequestFields(o, r.request) || !o.Text("state", state) ||
        !o.Unsigned("at_ms", r.at_ms) || !o.Unsigned("gate_status", status) ||
        !o.Unsigned("reply_size", r.reply_size) || !o.Text("reply", reply) ||
        status > 0xFFFFFFFFu || reply.size() > (kMaxKeptReply + 2) / 3 * 4 ||
        !FromBase64(reply, r.reply))
        return false;
    if (state == "started") {
        r.state = QueueState::kStarted;
    } else if (state == "done") {
        r.state = QueueState::kDone;
    } else if (state == "expired") {
        r.state = QueueState::kExpired;
    } else {
        return false;
    }
    r.gate_status = static_cast<uint32_t>(status);
    out = std::move(r);
    return true;
}

QueueAction Decide(bool parsed, const QueuedRequest& q, const std::string& machine, uint64_t now_ms,
                   const ServerTimes& server) {
    if (!parsed || q.machine != machine) return QueueAction::kDrop;
    const bool delivered = server.delivered_ms != 0 && server.delivered_ms >= server.stored_ms;
    bool expired = false;
    if (delivered && server.stored_ms != 0) {
        expired = server.delivered_ms - server.stored_ms >= q.expires_ms - q.queued_ms;
    } else if (delivered) {
        expired = server.delivered_ms >= q.expires_ms;
    } else {
        expired = now_ms >= q.expires_ms;
    }
    return expired ? QueueAction::kExpire : QueueAction::kRun;
}

StartAnswer ReadStartAnswer(const std::string& answer) {
    if (PublishStored(answer, kResultStream))
        return PublishDuplicate(answer) ? StartAnswer::kStoredBefore : StartAnswer::kFirst;
    std::string description;
    uint64_t code = 0;
    // 10071: "wrong last sequence": the subject already holds a record of this id.
    if (ApiError(answer, description, code) && code == 10071) return StartAnswer::kAlreadyStarted;
    return StartAnswer::kFailed;
}

} // namespace pm::remote
