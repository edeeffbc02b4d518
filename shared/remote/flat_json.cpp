// Portable: one flat JSON object.
#include "shared/remote/flat_json.h"

#include "shared/text/json_scanner.h"

namespace pm::remote {

bool FlatObject::Read(const std::string& s) {
    JsonScanner scan(s);
    fields_.clear();
    if (!scan.Take('{')) return false;
    if (!scan.Take('}')) {
        for (;;) {
            std::string key, value;
            if (!scan.String(key) || !scan.Take(':')) return false;
            const bool text = scan.Peek() == '"';
            if (!(text ? scan.String(value) : scan.Atom(value))) return false;
            if (fields_.size() >= 64) return false;
            fields_[key] = {value, text};
            if (scan.Take('}')) break;
            if (!scan.Take(',')) return false;
        }
    }
    return scan.AtEnd();
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
    return !it->second.second && JsonUnsigned(it->second.first, out);
}

} // namespace pm::remote
