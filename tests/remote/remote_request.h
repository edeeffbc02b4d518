// Request messages as a console packs them, for the remote path's tests.
#pragma once

#include <string>
#include <vector>

#include "tests/node/test_memory.h"

namespace pm::test {

inline std::string U32(uint32_t v) {
    return le::Bytes32(v);
}

// A whole request message from "pmconsole-1" to `node`.
inline std::string PackRequest(const std::string& node, uint32_t code,
                               const std::vector<std::string>& params, uint8_t type = 0) {
    const Bytes b = Packed(type, "pmconsole-1", node.c_str(), code, 7, params);
    return std::string(b.begin(), b.end());
}

} // namespace pm::test
