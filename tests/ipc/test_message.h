// Builds messages in the layout the library routes by, for the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "outside/kavipc32/message_block.h"
#include "shared/ipc/message_layout.h"

namespace kavipc_test {

struct MessageSpec {
    std::string sender = "Console";
    std::string addressee = "ProcMgr";
    uint8_t type = 0;
    uint32_t value = 0x73124533;
    uint32_t seq_no = 7;
    std::vector<std::vector<uint8_t>> items;
};

inline std::vector<uint8_t> BuildMessage(const MessageSpec& s) {
    using namespace kavipc;
    size_t sender_len = s.sender.size() + 1;
    size_t addressee_len = s.addressee.size() + 1;
    size_t sizes = 4 * s.items.size();
    size_t data = 0;
    for (const auto& i : s.items)
        data += i.size();
    size_t total = kHeaderSize + sender_len + addressee_len + sizes + data;
    std::vector<uint8_t> m(total, 0);
    le::Store32(&m[kOffMsgLen], static_cast<uint32_t>(total));
    le::Store16(&m[kOffHdrLen], 32);
    m[kOffType] = s.type;
    le::Store16(&m[kOffSenderLen], static_cast<uint16_t>(sender_len));
    le::Store16(&m[kOffSenderOff], 32);
    le::Store16(&m[kOffAddresseeLen], static_cast<uint16_t>(addressee_len));
    le::Store16(&m[kOffAddresseeOff], static_cast<uint16_t>(32 + sender_len));
    le::Store32(&m[kOffValue], s.value);
    le::Store16(&m[kOffItemCount], static_cast<uint16_t>(s.items.size()));
    size_t table = 32 + sender_len + addressee_len;
    le::Store16(&m[kOffSizeTableOff], static_cast<uint16_t>(table));
    le::Store16(&m[kOffDataOff], static_cast<uint16_t>(table + sizes));
    le::Store32(&m[kOffSeqNo], s.seq_no);
    std::memcpy(&m[32], s.sender.c_str(), sender_len);
    std::memcpy(&m[32 + sender_len], s.addressee.c_str(), addressee_len);
    size_t at = table + sizes;
    for (size_t i = 0; i < s.items.size(); ++i) {
        le::Store32(&m[table + 4 * i], static_cast<uint32_t>(s.items[i].size()));
        if (!s.items[i].empty()) std::memcpy(&m[at], s.items[i].data(), s.items[i].size());
        at += s.items[i].size();
    }
    return m;
}

// The same message in a library block (as AllocateMessage would give it).
inline void* BuildBlock(const MessageSpec& s, size_t extra = 0) {
    std::vector<uint8_t> m = BuildMessage(s);
    void* b = kavipc::AllocateBlock(m.size() + extra);
    if (b != nullptr) std::memcpy(b, m.data(), m.size());
    return b;
}

} // namespace kavipc_test
