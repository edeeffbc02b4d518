// The server's protocol lines. Portable: no OS code here.
#include "shared/nats/protocol_parser.h"

#include <algorithm>
#include <vector>

namespace pm::nats {
namespace {

std::vector<std::string> Words(const std::string& s, size_t from) {
    std::vector<std::string> out;
    size_t i = from;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t')
            ++j;
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

bool Size(const std::string& s, size_t limit, size_t& out) {
    if (s.empty() || s.size() > 12 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long v = std::stoull(s);
    if (v > limit) return false;
    out = static_cast<size_t>(v);
    return true;
}

// The operation word, upper-cased; servers send upper case, the protocol allows either.
std::string Op(const std::string& line) {
    std::string op;
    for (char c : line) {
        if (c == ' ' || c == '\t') break;
        op += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return op;
}

} // namespace

void ProtocolParser::Reset() {
    state_ = State::kLine;
    line_.clear();
    pending_ = Message();
    body_.clear();
    end_seen_ = 0;
    error_.clear();
}

bool ProtocolParser::Fail(const std::string& why) {
    state_ = State::kBroken;
    error_ = why;
    line_.clear();
    body_.clear();
    return false;
}

bool ProtocolParser::Feed(const uint8_t* data, size_t size, ProtocolSink& sink) {
    size_t i = 0;
    while (i < size) {
        switch (state_) {
        case State::kBroken:
            return false;
        case State::kLine: {
            const char c = static_cast<char>(data[i++]);
            if (c == '\n') {
                if (!line_.empty() && line_.back() == '\r') line_.pop_back();
                if (!HandleLine(sink)) return false;
                line_.clear();
            } else if (line_.size() >= kMaxLine) {
                return Fail("control line longer than " + std::to_string(kMaxLine) + " bytes");
            } else {
                line_ += c;
            }
            break;
        }
        case State::kPayload: {
            const size_t take = std::min(size - i, total_bytes_ - body_.size());
            body_.append(reinterpret_cast<const char*>(data + i), take);
            i += take;
            if (body_.size() == total_bytes_) {
                state_ = State::kPayloadEnd;
                end_seen_ = 0;
            }
            break;
        }
        case State::kPayloadEnd: {
            const char c = static_cast<char>(data[i++]);
            if (c != (end_seen_ == 0 ? '\r' : '\n'))
                return Fail("payload not followed by CRLF (size does not match)");
            if (++end_seen_ == 2) {
                pending_.headers = body_.substr(0, header_bytes_);
                pending_.payload = body_.substr(header_bytes_);
                std::string().swap(body_);
                state_ = State::kLine;
                sink.OnMessage(pending_);
                pending_ = Message();
            }
            break;
        }
        }
    }
    return state_ != State::kBroken;
}

bool ProtocolParser::HandleLine(ProtocolSink& sink) {
    if (line_.empty()) return true; // a stray CRLF between operations
    const std::string op = Op(line_);
    if (op == "PING") {
        sink.OnPing();
    } else if (op == "PONG") {
        sink.OnPong();
    } else if (op == "+OK") {
        sink.OnOk();
    } else if (op == "-ERR") {
        std::string text = line_.size() > 4 ? line_.substr(4) : std::string();
        const size_t b = text.find_first_not_of(" \t");
        text = b == std::string::npos ? std::string() : text.substr(b);
        if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
            text = text.substr(1, text.size() - 2);
        sink.OnError(text);
    } else if (op == "INFO") {
        const size_t b = line_.find_first_not_of(" \t", 4);
        sink.OnInfo(b == std::string::npos ? std::string() : line_.substr(b));
    } else if (op == "MSG" || op == "HMSG") {
        const bool with_headers = op == "HMSG";
        const std::vector<std::string> w = Words(line_, op.size());
        // MSG subject sid [reply] size; HMSG subject sid [reply] hdr_size total_size
        const size_t fixed = with_headers ? 4 : 3;
        if (w.size() != fixed && w.size() != fixed + 1)
            return Fail(op + " with " + std::to_string(w.size()) + " arguments");
        pending_ = Message();
        pending_.subject = w[0];
        pending_.sid = w[1];
        if (w.size() == fixed + 1) pending_.reply = w[2];
        size_t total = 0, headers = 0;
        if (!Size(w.back(), max_payload_, total)) return Fail(op + " size out of bounds");
        if (with_headers) {
            if (!Size(w[w.size() - 2], total, headers) || headers < 4)
                return Fail("HMSG header size out of bounds");
        }
        header_bytes_ = headers;
        total_bytes_ = total;
        body_.clear();
        body_.reserve(std::min<size_t>(total, 1 << 20));
        state_ = total == 0 ? State::kPayloadEnd : State::kPayload;
        end_seen_ = 0;
    } else {
        return Fail("unknown operation '" + op.substr(0, 16) + "'");
    }
    return true;
}

} // namespace pm::nats
