// One flat JSON object (string, number, true, false and null values; nothing nested), read by
// a scanner that accepts any bytes without reading past them. Portable: no OS code here.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace pm::remote {

class FlatObject {
public:
    // False for anything but one flat object (at most 64 fields).
    bool Read(const std::string& text);
    // Absent fields keep `out`; a field of the wrong type fails.
    bool Text(const char* key, std::string& out) const;
    bool Bool(const char* key, bool& out) const;
    bool Unsigned(const char* key, uint64_t& out) const;

private:
    std::map<std::string, std::pair<std::string, bool>> fields_; // value, is a string
};

} // namespace pm::remote
