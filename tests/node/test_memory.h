// Message memory from the C heap that counts what is still out, and whole messages packed by
// the node's own code.
#pragma once

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "shared/base/endian.h"
#include "shared/node/command.h"
#include "shared/node/message_memory.h"

namespace pm::test {

class TestMemory final : public MessageMemory {
public:
    ~TestMemory() override {
        for (void* p : live)
            std::free(p);
    }
    void* Allocate(uint32_t size) override {
        if (fail) return nullptr;
        void* p = std::malloc(size ? size : 1);
        live.insert(p);
        return p;
    }
    void Free(void* m) override {
        live.erase(m);
        std::free(m);
    }
    bool fail = false;
    std::set<void*> live;
};

using Bytes = std::vector<uint8_t>;

inline Bytes Packed(uint8_t type, const char* sender, const char* addressee, uint32_t value,
                    uint32_t seq_no, const std::vector<std::string>& items = {}, uint8_t tag = 0) {
    TestMemory memory;
    BlockList blocks;
    for (const std::string& s : items) {
        void* p = std::malloc(s.size() + 1);
        std::memcpy(p, s.data(), s.size());
        blocks.emplace_back(p, static_cast<uint32_t>(s.size()));
    }
    auto* m = static_cast<uint8_t*>(
        PackMessage(memory, type, tag, sender, addressee, value, seq_no, blocks));
    Bytes b(m, m + le::Load32(m));
    memory.Free(m);
    return b;
}

} // namespace pm::test
