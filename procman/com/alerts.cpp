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

std::vector<uint8_t> BuildNodePathPacket(const std::string& language_code,
                                         const std::array<std::string, 4>& elements) {
    size_t size = kPacketHeaderSize;
    for (const std::string& e : elements)
        size += e.size() + 1;
    std::vector<uint8_t> p(size, 0);
    WriteU32(&p[0], static_cast<uint32_t>(size));
    p[4] = 1;
    const size_t code_len = std::min<size_t>(language_code.size(), 5);
    std::memcpy(&p[5], language_code.data(), code_len);
    WriteU32(&p[11], 4);
    size_t at = kPacketHeaderSize;
    for (size_t i = 0; i < elements.size(); ++i) {
        WriteU32(&p[15 + 4 * i], static_cast<uint32_t>(at));
        std::memcpy(&p[at], elements[i].data(), elements[i].size());
        at += elements[i].size() + 1;
    }
    return p;
}

std::string TenDigits(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%010lu", static_cast<unsigned long>(value));
    return buf;
}

} // namespace pm::monitor
