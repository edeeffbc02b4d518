// HMAC-SHA-256 through the system's cryptography (CNG), for the gate's alert ids.
#pragma once

#include <string>

namespace pm::gate {

// The lower-case hex HMAC-SHA-256 of `data` under `key`; empty when the system cannot make it.
std::string HmacSha256Hex(const std::string& key, const std::string& data);

} // namespace pm::gate
