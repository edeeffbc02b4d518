// HMAC-SHA-256 through the system's cryptography (CNG), for the gate's alert ids.
#pragma once

#include "outside/pmgate/keyed_hash.h"

namespace pm::gate {

class CngKeyedHash final : public KeyedHash {
public:
    [[nodiscard]] std::string HmacSha256Hex(const std::string& key,
                                            const std::string& data) const override;
};

} // namespace pm::gate
