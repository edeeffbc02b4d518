// Native builds: milliseconds of the monotonic clock stand in for the tick count.
#include <chrono>

#include "shared/node/sequence_counter.h"

namespace pm {
uint32_t LoadTickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
} // namespace pm
