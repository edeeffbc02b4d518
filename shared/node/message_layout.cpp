// Portable: checks of received messages. No OS code here.
#include "shared/node/message_layout.h"

#include <cstring>

namespace pm::msg {

namespace {
// A string field must lie inside the message after the header and end with its terminator.
bool StringField(const uint8_t* base, uint32_t msg_len, uint32_t off, uint32_t len,
                 const char*& out) {
    if (len == 0 || off < kHeaderSize) return false;
    if (static_cast<uint64_t>(off) + len > msg_len) return false;
    const char* s = reinterpret_cast<const char*>(base + off);
    if (s[len - 1] != '\0') return false;
    out = s;
    return true;
}
} // namespace

uint32_t DeclaredLength(const void* message) {
    if (!message) return 0;
    return le::Load32(static_cast<const uint8_t*>(message) + kOffMsgLen);
}

bool ValidateMessage(const void* message, size_t available, MessageView& view) {
    if (!message || available < kHeaderSize) return false;
    const uint8_t* p = static_cast<const uint8_t*>(message);
    uint32_t msg_len = le::Load32(p + kOffMsgLen);
    if (msg_len < kHeaderSize || msg_len > available) return false;
    if (le::Load16(p + kOffHdrLen) != kHeaderSize) return false;

    MessageView v;
    v.base = p;
    v.msg_len = msg_len;
    v.type = p[kOffType];
    v.tag = p[kOffTag];
    v.value = le::Load32(p + kOffValue);
    v.seq_no = le::Load32(p + kOffSeqNo);
    v.sender_len = le::Load16(p + kOffSenderLen);
    v.addressee_len = le::Load16(p + kOffAddresseeLen);
    if (!StringField(p, msg_len, le::Load16(p + kOffSenderOff), v.sender_len, v.sender))
        return false;
    if (!StringField(p, msg_len, le::Load16(p + kOffAddresseeOff), v.addressee_len, v.addressee))
        return false;

    v.item_count = le::Load16(p + kOffItemCount);
    uint32_t table_off = le::Load16(p + kOffSizeTableOff);
    uint32_t data_off = le::Load16(p + kOffDataOff);
    uint64_t table_end = static_cast<uint64_t>(table_off) + 4ull * v.item_count;
    // An acknowledgement leaves both offsets 0 (it has no items): only the bounds count.
    if (table_end > msg_len || data_off > msg_len) return false;
    v.size_table = p + table_off;
    v.data = p + data_off;
    // The items lie back to back from data_off; their sum must fit in what is left.
    uint64_t sum = 0;
    for (uint16_t i = 0; i < v.item_count; ++i) {
        sum += v.ItemSize(i);
        if (sum > msg_len - data_off) return false;
    }
    view = v;
    return true;
}

} // namespace pm::msg
