// Request messages as a console packs them, for the remote path's tests.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/node/command.h"

namespace pm::test {

class HeapMemory final : public MessageMemory {
public:
    void* Allocate(uint32_t size) override { return std::malloc(size ? size : 1); }
    void Free(void* m) override { std::free(m); }
};

inline std::string U32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

// A whole request message from "pmconsole-1" to `node`.
inline std::string PackRequest(const std::string& node, uint32_t code,
                               const std::vector<std::string>& params, uint8_t type = 0) {
    BlockList items;
    for (const std::string& p : params) {
        void* b = std::malloc(p.size() ? p.size() : 1);
        std::memcpy(b, p.data(), p.size());
        items.emplace_back(b, static_cast<uint32_t>(p.size()));
    }
    HeapMemory memory;
    void* m = PackMessage(memory, type, 0, "pmconsole-1", node.c_str(), code, 7, items);
    std::string out(static_cast<const char*>(m), msg::DeclaredLength(m));
    memory.Free(m);
    return out;
}

// quorlent's wrapping of a monitor command buffer in parameter 1 of 0x10D.
inline std::string Wrapped(const std::string& buffer) {
    return U32(static_cast<uint32_t>(25 + buffer.size())) + '\2' + U32(0) +
           U32(static_cast<uint32_t>(buffer.size())) + U32(25) + std::string(8, '\0') + buffer;
}

} // namespace pm::test
