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
    return Get32(static_cast<const uint8_t*>(message) + kMsgLen);
}

bool ValidateMessage(const void* message, size_t available, MessageView& view) {
    if (!message || available < kHeaderSize) return false;
    const uint8_t* p = static_cast<const uint8_t*>(message);
    uint32_t msg_len = Get32(p + kMsgLen);
    if (msg_len < kHeaderSize || msg_len > available) return false;
    if (Get16(p + kHdrLen) != kHeaderSize) return false;

    MessageView v;
    v.base = p;
    v.msg_len = msg_len;
    v.type = p[kType];
    v.tag = p[kTag];
    v.value = Get32(p + kValue);
    v.seq_no = Get32(p + kSeqNo);
    v.sender_len = Get16(p + kSenderLen);
    v.addressee_len = Get16(p + kAddresseeLen);
    if (!StringField(p, msg_len, Get16(p + kSenderOff), v.sender_len, v.sender)) return false;
    if (!StringField(p, msg_len, Get16(p + kAddresseeOff), v.addressee_len, v.addressee))
        return false;

    v.item_count = Get16(p + kItemCount);
    uint32_t table_off = Get16(p + kSizeTableOff);
    uint32_t data_off = Get16(p + kDataOff);
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
