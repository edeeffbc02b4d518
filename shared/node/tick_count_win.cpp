#include <windows.h>

#include "shared/node/sequence_counter.h"

namespace pm {
uint32_t LoadTickCount() {
    return GetTickCount();
}
} // namespace pm
