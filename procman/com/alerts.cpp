// Portable: no OS code here.
#include "procman/com/alerts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pm::monitor {

uint16_t AlertTypeCode(uint8_t kind) {
    switch (kind) {
    case kAlertTerminated:
        return kTypeTerminated;
    case kAlertStarted:
        return kTypeStarted;
    default:
        return kTypeFailedToStart;
    }
}

uint16_t AlertClass(uint8_t kind) {
    switch (kind) {
    case kAlertTerminated:
        return 0x305;
    case kAlertStarted:
        return 0x405;
    default:
        return 0x105;
    }
}

unsigned AlertKindStringId(uint8_t kind) {
    switch (kind) {
    case kAlertTerminated:
        return 200;
    case kAlertStarted:
        return 201;
    default:
        return 202;
    }
}

unsigned MessageFirstPartId(uint8_t kind) {
    switch (kind) {
    case kAlertTerminated:
        return 2008;
    case kAlertStarted:
        return 2010;
    default:
        return 2012;
    }
}

unsigned MessageLastPartId(uint8_t kind) {
    return MessageFirstPartId(kind) + 1;
}

const char* AlertKeyText(uint8_t kind) {
    switch (kind) {
    case kAlertTerminated:
        return "process.stopped";
    case kAlertStarted:
        return "process.started";
    default:
        return "process.failed";
    }
}

std::array<uint8_t, kOwnerIdSize> AlertOwner(const OwnerId& owner) {
    std::array<uint8_t, kOwnerIdSize> out{};
    bool zero = true;
    for (uint8_t b : owner)
        zero = zero && b == 0;
    if (zero)
        std::memcpy(out.data(), "Alert", 6);
    else
        out = owner;
    return out;
}

} // namespace pm::monitor
