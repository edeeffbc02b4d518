// Header checks for routing. Portable: no OS code here.
#include "outside/kavipc32/message_layout.h"

#include <cstring>

namespace kavipc {

bool IsValidNodeName(const char* name, size_t len) {
    if (name == nullptr || len == 0 || len > kMaxNodeName) return false;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c > 0x7E || c == '\\' || c == '/') return false;
    }
    return true;
}

bool IsValidNodeName(const char* name) {
    if (name == nullptr) return false;
    // Bounded scan: a name longer than the limit is refused without reading far past it.
    size_t len = 0;
    while (len <= kMaxNodeName && name[len] != '\0')
        ++len;
    return IsValidNodeName(name, len);
}

HeaderCheck CheckHeader(const uint8_t* data, size_t size, HeaderInfo* info) {
    if (data == nullptr || size < kHeaderSize) return HeaderCheck::kTooShort;
    uint32_t msg_len = Get32(data + kOffMsgLen);
    if (msg_len < kHeaderSize) return HeaderCheck::kTooShort;
    if (msg_len > size) return HeaderCheck::kLengthMismatch;
    if (Get16(data + kOffHdrLen) != kHeaderSize) return HeaderCheck::kBadHeaderLength;
    size_t len = Get16(data + kOffAddresseeLen);
    size_t off = Get16(data + kOffAddresseeOff);
    if (len < 2 || off < kHeaderSize || off + len > msg_len) return HeaderCheck::kBadAddressee;
    const char* name = reinterpret_cast<const char*>(data + off);
    if (name[len - 1] != '\0') return HeaderCheck::kBadAddressee;
    size_t name_len = strnlen(name, len);
    if (!IsValidNodeName(name, name_len)) return HeaderCheck::kBadName;
    if (info != nullptr) {
        info->msg_len = msg_len;
        info->type = data[kOffType];
        info->addressee.assign(name, name_len);
    }
    return HeaderCheck::kOk;
}

const char* HeaderCheckText(HeaderCheck check) {
    switch (check) {
    case HeaderCheck::kOk:
        return "ok";
    case HeaderCheck::kTooShort:
        return "too short";
    case HeaderCheck::kLengthMismatch:
        return "msg_len beyond the buffer";
    case HeaderCheck::kBadHeaderLength:
        return "hdr_len is not 32";
    case HeaderCheck::kBadAddressee:
        return "addressee outside the message or unterminated";
    case HeaderCheck::kBadName:
        return "addressee is not a node name";
    }
    return "?";
}

} // namespace kavipc
