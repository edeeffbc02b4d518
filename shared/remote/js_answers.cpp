// Portable: the JetStream API's answers, read without trusting them, and base64.
#include "shared/remote/queue.h"
#include "shared/text/json_scanner.h"

namespace pm::remote {
namespace {

// A raw value that is one string, decoded.
bool Text(const std::string& raw, std::string& out) {
    JsonScanner s(raw);
    return s.String(out) && s.AtEnd();
}

int Sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

} // namespace

bool JsonMember(const std::string& object, const std::string& key, std::string& raw) {
    JsonScanner s(object);
    if (!s.Take('{')) return false;
    if (s.Take('}')) return false;
    bool found = false;
    for (;;) {
        std::string name;
        if (!s.String(name) || !s.Take(':')) return false;
        s.Blank();
        const size_t start = s.Pos();
        if (!s.Skip()) return false;
        if (!found && name == key) {
            raw = object.substr(start, s.Pos() - start);
            found = true;
        }
        if (s.Take('}')) break;
        if (!s.Take(',')) return false;
    }
    s.Blank();
    return found && s.Pos() == object.size();
}

bool PublishStored(const std::string& answer, const char* stream) {
    std::string raw, name;
    uint64_t seq = 0;
    return JsonMember(answer, "stream", raw) && Text(raw, name) && name == stream &&
           JsonMember(answer, "seq", raw) && JsonUnsigned(raw, seq) && seq > 0 &&
           !JsonMember(answer, "error", raw);
}

bool PublishDuplicate(const std::string& answer) {
    std::string raw;
    return JsonMember(answer, "duplicate", raw) && raw == "true";
}

bool ApiError(const std::string& answer, std::string& description, uint64_t& err_code) {
    std::string error, raw;
    if (!JsonMember(answer, "error", error)) return false;
    description.clear();
    err_code = 0;
    if (JsonMember(error, "description", raw)) Text(raw, description);
    if (JsonMember(error, "err_code", raw)) JsonUnsigned(raw, err_code);
    return true;
}

bool StreamRange(const std::string& answer, uint64_t& first, uint64_t& last) {
    std::string state, raw;
    uint64_t f = 0, l = 0;
    if (!JsonMember(answer, "state", state) || !JsonMember(state, "first_seq", raw) ||
        !JsonUnsigned(raw, f) || !JsonMember(state, "last_seq", raw) || !JsonUnsigned(raw, l))
        return false;
    first = f;
    last = l;
    return true;
}

bool StoredMessage(const std::string& answer, std::string& subject, std::string& data) {
    std::string message, raw, text, subj;
    if (!JsonMember(answer, "message", message) || !JsonMember(message, "subject", raw) ||
        !Text(raw, subj))
        return false;
    std::string bytes;
    if (JsonMember(message, "data", raw) && (!Text(raw, text) || !FromBase64(text, bytes)))
        return false;
    subject = subj;
    data = std::move(bytes);
    return true;
}

std::string Base64(const std::string& bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (n > 1) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (n > 2) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += n > 1 ? kDigits[(v >> 6) & 63] : '=';
        out += n > 2 ? kDigits[v & 63] : '=';
    }
    return out;
}

bool FromBase64(const std::string& text, std::string& bytes) {
    if (text.size() % 4 != 0) return false;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int pad = 0;
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            int d = Sextet(c);
            // '=' only at the end of the last group, at most two.
            if (c == '=' && last && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                d = 0;
                ++pad;
            } else if (d < 0 || pad > 0) {
                return false;
            }
            v = v << 6 | static_cast<uint32_t>(d);
        }
        out += static_cast<char>(v >> 16);
        if (pad < 2) out += static_cast<char>((v >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(v & 0xFF);
    }
    bytes = std::move(out);
    return true;
}

} // namespace pm::remote
