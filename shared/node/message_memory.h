// Where message buffers come from: the messaging library's AllocateMessage and FreeMessage
// in the programs, a fake in the tests. Portable.
#pragma once

#include <cstdint>

namespace pm {

class MessageMemory {
public:
    virtual ~MessageMemory() = default;
    // A writable buffer of `size` bytes, or null.
    virtual void* Allocate(uint32_t size) = 0;
    virtual void Free(void* message) = 0;
};

} // namespace pm
