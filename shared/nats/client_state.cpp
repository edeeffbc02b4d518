// The client's lines and keep-alive. Portable: no OS code here.
#include "shared/nats/client_state.h"

#include "shared/nats/server_info.h"
#include "shared/text/json_string.h"

namespace pm::nats {

std::string ClientState::ConnectLines(const ConnectOptions& o) const {
    std::string j = "{\"verbose\":false,\"pedantic\":false,\"lang\":\"cpp\",\"version\":\"1.0\"";
    j += ",\"protocol\":1,\"headers\":true,\"no_responders\":true";
    j += std::string(",\"tls_required\":") + (o.tls ? "true" : "false");
    j += ",\"name\":" + JsonString(o.name);
    if (!o.user.empty()) {
        j += ",\"user\":" + JsonString(o.user);
        j += ",\"pass\":" + JsonString(o.password);
    }
    return "CONNECT " + j + "}\r\nPING\r\n";
}

uint64_t ClientState::Subscribe(const std::string& subject) {
    const uint64_t sid = next_sid_++;
    subs_[sid] = subject;
    return sid;
}

bool ClientState::Unsubscribe(uint64_t sid, std::string& line) {
    if (subs_.erase(sid) == 0) return false;
    line = "UNSUB " + std::to_string(sid) + "\r\n";
    return true;
}

std::string ClientState::SubLine(uint64_t sid) const {
    auto it = subs_.find(sid);
    if (it == subs_.end()) return std::string();
    return "SUB " + it->second + " " + std::to_string(sid) + "\r\n";
}

std::string ClientState::ResubscribeLines() const {
    std::string out;
    for (const auto& s : subs_)
        out += SubLine(s.first);
    return out;
}

std::string ClientState::PubLines(const std::string& subject, const std::string& reply,
                                  const std::string& payload) {
    std::string out = "PUB " + subject + " ";
    if (!reply.empty()) out += reply + " ";
    out += std::to_string(payload.size()) + "\r\n";
    out += payload;
    return out + "\r\n";
}

std::string ClientState::HPubLines(const std::string& subject, const std::string& reply,
                                   const std::string& headers, const std::string& payload) {
    std::string out = "HPUB " + subject + " ";
    if (!reply.empty()) out += reply + " ";
    out += std::to_string(headers.size()) + " " + std::to_string(headers.size() + payload.size());
    out += "\r\n";
    out += headers;
    out += payload;
    return out + "\r\n";
}

bool ClientState::IsSendableSubject(const std::string& subject) {
    if (subject.empty() || subject.size() > 1024) return false;
    for (unsigned char c : subject)
        if (c <= ' ' || c == 0x7F) return false;
    return true;
}

void ClientState::Connected(uint64_t now_ms) {
    last_heard_ = now_ms;
    last_ping_ = now_ms;
    outstanding_ = 0;
}

void ClientState::HeardFromServer(uint64_t now_ms) {
    last_heard_ = now_ms;
}

void ClientState::PongReceived() {
    if (outstanding_ > 0) --outstanding_;
}

ClientState::Tick ClientState::OnTick(uint64_t now_ms) {
    const uint64_t since = now_ms - (last_heard_ > last_ping_ ? last_heard_ : last_ping_);
    if (since < keep_.interval_ms) return Tick::kNothing;
    if (outstanding_ >= keep_.max_outstanding) return Tick::kStale;
    ++outstanding_;
    last_ping_ = now_ms;
    return Tick::kSendPing;
}

} // namespace pm::nats
