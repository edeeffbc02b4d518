// Portable: no OS code here; LoadTickCount is in the platform files.
#include "shared/node/sequence_counter.h"

#include <atomic>

namespace pm {

namespace {
std::atomic<uint32_t>& Counter() {
    static std::atomic<uint32_t> counter{LoadTickCount()};
    return counter;
}
// Takes the start value at load rather than at the first request.
const bool g_started = (Counter(), true);
} // namespace

uint32_t NextSequenceNumber() {
    (void)g_started;
    return Counter().fetch_add(1);
}

void SetNextSequenceNumber(uint32_t value) {
    Counter().store(value);
}

} // namespace pm
