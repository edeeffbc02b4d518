// Portable: what the web console shows, decoded by the console's code. No OS code here.
#include "outside/pmconsole/web/serve_model.h"

#include <cstdio>

#include "outside/pmconsole/fleet/fleet_alerts.h"
#include "shared/remote/alerts.h"
#include "shared/monitor/host_text.h"
#include "shared/text/json_string.h"

namespace pm::console {
namespace {

constexpr uint32_t kGetUpdates = 0x73124533;

class CaptureIo final : public ConsoleIo {
public:
    CaptureIo(const SendFunction& send, CompressedConverter to_compressed, TextDecoder decode)
        : send_(send), to_compressed_(to_compressed), decode_(decode) {}
    Reply Send(const Request& request) override { return send_(request); }
    void Out(const std::string& text) override { out += text; }
    void Err(const std::string& text) override { err += text; }
    CompressedConverter Converter() override { return to_compressed_; }
    TextDecoder Decoder() override { return decode_; }

    std::string out, err;

private:
    const SendFunction& send_;
    CompressedConverter to_compressed_;
    TextDecoder decode_;
};

std::string Text(const std::string& s) {
    return JsonString(host::ValidUtf8(s));
}

// The first line of a command's error text, without the program's name in front.
std::string FirstLine(const std::string& err) {
    std::string line = err.substr(0, err.find('\n'));
    for (const char* prefix : {"pmconsole: ", "pmconsole "})
        if (line.compare(0, std::string(prefix).size(), prefix) == 0)
            line.erase(0, std::string(prefix).size());
    return line;
}

std::string ProcessJson(const ProcessRow& p) {
    std::string out = "{\"pid\":" + std::to_string(p.process_id) + ",\"name\":" + Text(p.name);
    if (p.has_user) out += ",\"user\":" + Text(p.user);
    if (p.has_parent) out += ",\"parent\":" + std::to_string(p.parent_process_id);
    out +=
        ",\"threads\":" + std::to_string(p.threads) + ",\"priority\":" + std::to_string(p.priority);
    if (p.has_memory) out += ",\"memory\":" + std::to_string(p.memory);
    return out + "}";
}

std::string ServiceJson(const ServiceRow& s) {
    static const char* const kStates[] = {
        "?",       "Stopped",          "Start Pending", "Stop Pending",
        "Running", "Continue Pending", "Pause Pending", "Paused"};
    return "{\"name\":" + Text(s.name) + ",\"state\":" + std::to_string(s.state) +
           ",\"state_name\":" +
           JsonString(s.state <= 7 ? kStates[s.state] : std::to_string(s.state)) + "}";
}

const char* const kTableNames[] = {"processes", "services", "drivers"};

} // namespace

Captured RunCaptured(const std::vector<std::string>& args, const SendFunction& send,
                     CompressedConverter to_compressed, TextDecoder decode) {
    CaptureIo io(send, to_compressed, decode);
    Captured c;
    c.exit_code = RunConsole(args, io);
    c.out = std::move(io.out);
    c.err = std::move(io.err);
    return c;
}

std::string ExitWord(int exit_code) {
    switch (exit_code) {
    case kExitReply:
        return "done";
    case 1:
        return "failed";
    case kExitUsage:
        return "bad request";
    case kExitNotPermitted:
        return "not permitted";
    case kExitNoSuchMachine:
        return "no such machine";
    case kExitAgentNotRunning:
        return "agent not running";
    default:
        return "no reply";
    }
}

std::string OutcomeWord(const Reply& reply) {
    return reply.outcome == Reply::Outcome::kReply ? "done" : ExitWord(UndeliveredExit(reply));
}

std::string CapturedJson(const Captured& c) {
    std::string out = "{\"ok\":" + std::string(c.exit_code == 0 ? "true" : "false") +
                      ",\"word\":" + JsonString(ExitWord(c.exit_code)) +
                      ",\"exit_code\":" + std::to_string(c.exit_code) +
                      ",\"message\":" + Text(FirstLine(c.err)) + ",\"data\":";
    std::string data = c.out;
    while (!data.empty() && (data.back() == '\n' || data.back() == '\r'))
        data.pop_back();
    if (data.empty()) return out + "null}";
    if (data[0] != '{' && data[0] != '[') return out + Text(data) + "}";
    if (data.find('\n') == std::string::npos) return out + data + "}";
    // Several JSON lines (one object a line): an array of them.
    std::string array = "[";
    size_t at = 0;
    while (at < data.size()) {
        const size_t end = std::min(data.find('\n', at), data.size());
        if (end > at) array += (array.size() > 1 ? "," : "") + data.substr(at, end - at);
        at = end + 1;
    }
    return out + array + "]}";
}

void TableWatch::Collect(Rows out[3]) const {
    for (const ProcessRow& p : tables_.Processes())
        out[0][std::to_string(p.process_id)] = ProcessJson(p);
    for (uint32_t g = 2; g <= 3; ++g)
        for (const ServiceRow& s : tables_.Services(g))
            out[g - 1][s.name] = ServiceJson(s);
}

bool TableWatch::Poll(const SendFunction& send, uint32_t timeout_ms, std::string* event,
                      std::string* word, std::string* message) {
    event->clear();
    Request request;
    request.code = kGetUpdates;
    request.timeout_ms = timeout_ms;
    request.params = {U32Bytes(tables_.clock())};
    const Reply reply = send(request);
    if (reply.outcome != Reply::Outcome::kReply) {
        *word = OutcomeWord(reply);
        *message = reply.detail;
        return false;
    }
    std::string error;
    const bool whole =
        (reply.status == 0 || !reply.items.empty()) && tables_.Apply(reply.items, &error);
    Rows now[3];
    Collect(now);
    std::string body;
    for (int t = 0; t < 3; ++t) {
        std::string set, gone;
        for (const auto& [key, row] : now[t]) {
            auto was = shown_[t].find(key);
            if (was == shown_[t].end() || was->second != row) set += (set.empty() ? "" : ",") + row;
        }
        for (const auto& [key, row] : shown_[t])
            if (now[t].count(key) == 0)
                gone += (gone.empty() ? "" : ",") + (t == 0 ? key : Text(key));
        if (!set.empty() || !gone.empty())
            body += ",\"" + std::string(kTableNames[t]) + "\":{\"set\":[" + set + "],\"gone\":[" +
                    gone + "]}";
        shown_[t] = std::move(now[t]);
    }
    if (!body.empty())
        *event = "{\"clock\":" + std::to_string(tables_.clock()) + ",\"full\":false" + body + "}";
    if (!whole) {
        *word = "failed";
        *message = error.empty() ? "the agent answered status " + std::to_string(reply.status)
                                 : "malformed reply: " + error;
        return false;
    }
    return true;
}

std::string TableWatch::Snapshot() const {
    Rows now[3];
    Collect(now);
    std::string out = "{\"clock\":" + std::to_string(tables_.clock()) + ",\"full\":true";
    for (int t = 0; t < 3; ++t) {
        std::string set;
        for (const auto& [key, row] : now[t])
            set += (set.empty() ? "" : ",") + row;
        out += ",\"" + std::string(kTableNames[t]) + "\":{\"set\":[" + set + "],\"gone\":[]}";
    }
    return out + "}";
}

bool AlertFeed::Add(const std::string& subject, const std::string& payload, std::string* machine,
                    std::string* json) {
    remote::AlertRecord a;
    if (!remote::ParseAlertOn(subject, payload, a)) return false;
    const std::string id = a.MessageId();
    for (const Kept& k : kept_)
        if (k.id == id) return false;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", a.code);
    *machine = a.machine;
    *json = "{\"id\":" + JsonString(id) + ",\"seq\":" + std::to_string(a.seq) +
            ",\"time_utc\":" + JsonString(UtcText(a.time_ms)) + ",\"monitor\":" + Text(a.monitor) +
            ",\"code\":\"" + code + "\",\"text\":" + Text(a.text) + "}";
    kept_.push_back(Kept{id, a.machine, *json});
    if (kept_.size() > capacity_) kept_.pop_front();
    return true;
}

std::string AlertFeed::Recent(const std::string& machine, size_t max) const {
    std::deque<const std::string*> newest;
    for (auto it = kept_.rbegin(); it != kept_.rend() && newest.size() < max; ++it)
        if (it->machine == machine) newest.push_front(&it->json);
    std::string list;
    for (const std::string* json : newest)
        list += (list.empty() ? "[" : ",") + *json;
    return list.empty() ? list : list + "]";
}

void AlertStreamWords(const std::string& error, std::string* word, std::string* message) {
    *message = error;
    if (error.find("not permitted") != std::string::npos) {
        *word = "not permitted";
    } else if (error.find("does not exist") != std::string::npos) {
        *word = "no alert stream";
        *message = "run pmconsole fleet setup";
    } else {
        *word = "failed";
    }
}

} // namespace pm::console
