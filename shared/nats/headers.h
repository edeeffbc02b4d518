// NATS header blocks: "NATS/1.0[ code[ description]]\r\n" then "Key: Value\r\n" lines and an
// empty line. Portable.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace pm::nats {

struct HeaderBlock {
    int code = 0; // the status after the version (503: no responders), 0 when none
    std::string description;
    std::vector<std::pair<std::string, std::string>> fields;

    // The first value of a field, compared without case; null when absent.
    [[nodiscard]] const std::string* Find(const std::string& key) const;
};

// The bytes of a block; keys and values must not hold CR, LF or (keys) ':'.
std::string BuildHeaderBlock(const std::vector<std::pair<std::string, std::string>>& fields);

// False for a block that does not start with "NATS/1.0" or does not end with an empty line.
bool ParseHeaderBlock(const std::string& bytes, HeaderBlock& out);

} // namespace pm::nats
