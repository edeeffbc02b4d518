#include <windows.h>

#include "procman/w32/sequence_counter.h"

namespace pm {
uint32_t LoadTickCount() {
    return GetTickCount();
}
} // namespace pm
