// Portable: one flat JSON object.
#include "shared/remote/flat_json.h"

namespace pm::remote {

bool FlatObject::Read(const std::string& s) {
    s_ = &s;
    i_ = 0;
    fields_.clear();
    if (!Take('{')) return false;
    if (!Take('}')) {
        for (;;) {
            std::string key, value;
            bool text = false;
            if (!String(key) || !Take(':') || !Value(value, text)) return false;
            if (fields_.size() >= 64) return false;
            fields_[key] = {value, text};
            if (Take('}')) break;
            if (!Take(',')) return false;
        }
    }
    Blank();
    return i_ == s.size();
}

bool FlatObject::Text(const char* key, std::string& out) const {
    auto it = fields_.find(key);
    if (it == fields_.end()) return true;
    if (!it->second.second) return false;
    out = it->second.first;
    return true;
}

bool FlatObject::Bool(const char* key, bool& out) const {
    auto it = fields_.find(key);
    if (it == fields_.end()) return true;
    if (it->second.second || (it->second.first != "true" && it->second.first != "false"))
        return false;
    out = it->second.first == "true";
    return true;
}

bool FlatObject::Unsigned(const char* key, uint64_t& out) const {
    auto it = fields_.find(key);
    if (it == fields_.end()) return true;
    const std::string& t = it->second.first;
    if (it->second.second || t.empty() || t.size() > 19) return false;
    uint64_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    out = v;
    return true;
}

void FlatObject::Blank() {
    while (i_ < s_->size() &&
           ((*s_)[i_] == ' ' || (*s_)[i_] == '\t' || (*s_)[i_] == '\r' || (*s_)[i_] == '\n'))
        ++i_;
}

bool FlatObject::Take(char c) {
    Blank();
    if (i_ < s_->size() && (*s_)[i_] == c) {
        ++i_;
        return true;
    }
    return false;
}

bool FlatObject::String(std::string& out) {
    if (!Take('"')) return false;
    while (i_ < s_->size()) {
        char c = (*s_)[i_++];
        if (c == '"') return true;
        if (c == '\\') {
            if (i_ >= s_->size()) return false;
            c = (*s_)[i_++];
            if (c == 'u') {
                if (i_ + 4 > s_->size()) return false;
                unsigned v = 0;
                for (int k = 0; k < 4; ++k) {
                    const char h = (*s_)[i_++];
                    const int d = (h >= '0' && h <= '9')   ? h - '0'
                                  : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                                  : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                           : -1;
                    if (d < 0) return false;
                    v = v * 16 + static_cast<unsigned>(d);
                }
                c = v < 0x80 ? static_cast<char>(v) : '?'; // the fields read are ASCII
            } else if (c == 'n') {
                c = '\n';
            } else if (c == 't') {
                c = '\t';
            } else if (c == 'r') {
                c = '\r';
            }
        }
        out += c;
    }
    return false;
}

bool FlatObject::Value(std::string& out, bool& text) {
    Blank();
    if (i_ < s_->size() && (*s_)[i_] == '"') {
        text = true;
        return String(out);
    }
    while (i_ < s_->size()) {
        const char c = (*s_)[i_];
        if (c == ',' || c == '}' || c == ' ' || c == '\t' || c == '\r' || c == '\n') break;
        if (c == '"' || c == '{' || c == '[' || c == ']' || c == ':') return false;
        out += c;
        ++i_;
    }
    return !out.empty();
}

} // namespace pm::remote
