// The keyed hash behind the alerts' id key: the system's HMAC-SHA-256 on Windows
// (keyed_hash_win); tests give their own. Portable.
#pragma once

#include <string>

namespace pm::gate {

class KeyedHash {
public:
    virtual ~KeyedHash() = default;
    // The lower-case hex HMAC-SHA-256 of `data` under `key`; empty when it cannot be made.
    [[nodiscard]] virtual std::string HmacSha256Hex(const std::string& key,
                                                    const std::string& data) const = 0;
};

} // namespace pm::gate
