// Message memory from the C heap that counts what is still out.
#pragma once

#include <cstdlib>
#include <set>

#include "shared/node/message_memory.h"

namespace pm::test {

class TestMemory final : public MessageMemory {
public:
    ~TestMemory() override {
        for (void* p : live)
            std::free(p);
    }
    void* Allocate(uint32_t size) override {
        ++allocations;
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
    int allocations = 0;
    std::set<void*> live;
};

} // namespace pm::test
