// INFO fields, read by a small JSON scanner that accepts any bytes without reading past them.
// Portable: no OS code here.
#include "shared/nats/server_info.h"

#include <cstdio>

namespace pm::nats {
namespace {

class Scanner {
public:
    explicit Scanner(const std::string& s) : s_(s) {}

    void Blank() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n'))
            ++i_;
    }
    bool Take(char c) {
        Blank();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    [[nodiscard]] bool AtEnd() {
        Blank();
        return i_ == s_.size();
    }
    [[nodiscard]] char Peek() {
        Blank();
        return i_ < s_.size() ? s_[i_] : '\0';
    }

    bool String(std::string& out) {
        out.clear();
        if (!Take('"')) return false;
        while (i_ < s_.size()) {
            char c = s_[i_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) return false;
            c = s_[i_++];
            switch (c) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                if (i_ + 4 > s_.size()) return false;
                unsigned v = 0;
                for (int k = 0; k < 4; ++k) {
                    const char h = s_[i_++];
                    const int d = (h >= '0' && h <= '9')   ? h - '0'
                                  : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                                  : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                           : -1;
                    if (d < 0) return false;
                    v = v * 16 + static_cast<unsigned>(d);
                }
                out += v < 0x80 ? static_cast<char>(v) : '?'; // the fields used are ASCII
                break;
            }
            default:
                out += c;
                break;
            }
        }
        return false;
    }

    // A number, true, false or null as its text.
    bool Atom(std::string& out) {
        Blank();
        out.clear();
        while (i_ < s_.size() && s_[i_] != ',' && s_[i_] != '}' && s_[i_] != ']' && s_[i_] != ' ' &&
               s_[i_] != '\t' && s_[i_] != '\r' && s_[i_] != '\n' && s_[i_] != '"' &&
               s_[i_] != '{' && s_[i_] != '[' && s_[i_] != ':')
            out += s_[i_++];
        return !out.empty();
    }

    // Any value, discarded; nesting bounded so that no input can exhaust the stack.
    bool Skip(int depth = 0) {
        if (depth > 32) return false;
        std::string ignored;
        const char c = Peek();
        if (c == '"') return String(ignored);
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++i_;
            if (Take(close)) return true;
            for (;;) {
                if (c == '{' && (!String(ignored) || !Take(':'))) return false;
                if (!Skip(depth + 1)) return false;
                if (Take(close)) return true;
                if (!Take(',')) return false;
            }
        }
        return Atom(ignored);
    }

private:
    const std::string& s_;
    size_t i_ = 0;
};

bool Int(const std::string& text, int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t v = 0;
    size_t k = text[0] == '-' ? 1 : 0;
    if (k == text.size()) return false;
    for (; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
        v = v * 10 + (text[k] - '0');
    }
    out = text[0] == '-' ? -v : v;
    return true;
}

} // namespace

bool ParseServerInfo(const std::string& json, ServerInfo& out) {
    Scanner s(json);
    ServerInfo info;
    if (!s.Take('{')) return false;
    if (!s.Take('}')) {
        for (;;) {
            std::string key, text;
            if (!s.String(key) || !s.Take(':')) return false;
            if (key == "server_id" || key == "server_name") {
                if (!s.String(text)) return false;
                (key == "server_id" ? info.server_id : info.server_name) = text;
            } else if (key == "max_payload") {
                int64_t v = 0;
                if (!s.Atom(text) || !Int(text, v)) return false;
                info.max_payload = v;
            } else if (key == "tls_required" || key == "tls_available" || key == "auth_required" ||
                       key == "headers") {
                if (!s.Atom(text) || (text != "true" && text != "false")) return false;
                const bool v = text == "true";
                if (key == "tls_required") info.tls_required = v;
                if (key == "tls_available") info.tls_available = v;
                if (key == "auth_required") info.auth_required = v;
                if (key == "headers") info.headers = v;
            } else if (key == "connect_urls") {
                if (!s.Take('[')) return false;
                if (!s.Take(']')) {
                    for (;;) {
                        if (!s.String(text)) return false;
                        if (info.connect_urls.size() < 64) info.connect_urls.push_back(text);
                        if (s.Take(']')) break;
                        if (!s.Take(',')) return false;
                    }
                }
            } else if (!s.Skip()) {
                return false;
            }
            if (s.Take('}')) break;
            if (!s.Take(',')) return false;
        }
    }
    if (!s.AtEnd()) return false;
    out = info;
    return true;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

} // namespace pm::nats
