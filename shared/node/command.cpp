// Portable: packing and parsing of command messages. No OS code here.
#include "shared/node/command.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "shared/base/endian.h"
#include "shared/node/message_layout.h"
#include "shared/node/sequence_counter.h"

namespace pm {

using namespace msg;

Block::Block(Block&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Block& Block::operator=(Block&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

Block::~Block() {
    std::free(data_);
}

namespace {

bool AppendCopy(BlockList& list, const void* bytes, uint32_t size) {
    // At least one byte, so that an empty block still has an address.
    void* copy = std::malloc(size ? size : 1);
    if (!copy) return false;
    if (size) std::memcpy(copy, bytes, size);
    list.emplace_back(copy, size);
    return true;
}

char* CopyString(const char* s) {
    if (!s) return nullptr;
    size_t n = std::strlen(s) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy) std::memcpy(copy, s, n);
    return copy;
}

// Length with terminator; an absent string travels as a lone NUL.
uint64_t FieldLength(const char* s) {
    return s ? std::strlen(s) + 1 : 1;
}

// Copies the items of a checked message into `out`; false when the heap is exhausted.
bool CopyItems(const MessageView& v, BlockList& out) {
    BlockList items;
    items.reserve(v.item_count);
    const uint8_t* p = v.data;
    for (uint16_t i = 0; i < v.item_count; ++i) {
        uint32_t size = v.ItemSize(i);
        if (!AppendCopy(items, p, size)) return false;
        p += size;
    }
    out = std::move(items);
    return true;
}

} // namespace

uint32_t PackedMessageSize(const char* sender, const char* addressee, const BlockList& items) {
    uint64_t sender_len = FieldLength(sender);
    uint64_t addressee_len = FieldLength(addressee);
    if (sender_len > 0xFFFF || addressee_len > 0xFFFF || items.size() > kMaxItems) return 0;
    uint64_t data_off = kHeaderSize + sender_len + addressee_len + 4ull * items.size();
    if (data_off >= kOffsetLimit) return 0;
    uint64_t total = data_off;
    for (const Block& b : items)
        total += b.size();
    if (total > 0xFFFFFFFFull) return 0;
    return static_cast<uint32_t>(total);
}

void* PackMessage(MessageMemory& memory, uint8_t type, uint8_t tag, const char* sender,
                  const char* addressee, uint32_t value, uint32_t seq_no, const BlockList& items) {
    uint32_t total = PackedMessageSize(sender, addressee, items);
    if (total == 0) return nullptr;
    auto* m = static_cast<uint8_t*>(memory.Allocate(total));
    if (!m) return nullptr;

    uint32_t sender_len = static_cast<uint32_t>(FieldLength(sender));
    uint32_t addressee_len = static_cast<uint32_t>(FieldLength(addressee));
    uint32_t count = static_cast<uint32_t>(items.size());
    uint32_t sender_off = kHeaderSize;
    uint32_t addressee_off = sender_off + sender_len;
    uint32_t table_off = addressee_off + addressee_len;
    uint32_t data_off = table_off + 4 * count;

    std::memset(m, 0, data_off);
    le::Store32(m + kOffMsgLen, total);
    le::Store16(m + kOffHdrLen, kHeaderSize);
    m[kOffType] = type;
    m[kOffTag] = tag;
    le::Store16(m + kOffSenderLen, sender_len);
    le::Store16(m + kOffSenderOff, sender_off);
    le::Store16(m + kOffAddresseeLen, addressee_len);
    le::Store16(m + kOffAddresseeOff, addressee_off);
    le::Store32(m + kOffValue, value);
    le::Store16(m + kOffItemCount, count);
    le::Store16(m + kOffSizeTableOff, table_off);
    le::Store16(m + kOffDataOff, data_off);
    le::Store32(m + kOffSeqNo, seq_no);
    if (sender) std::memcpy(m + sender_off, sender, sender_len);
    if (addressee) std::memcpy(m + addressee_off, addressee, addressee_len);
    uint8_t* p = m + data_off;
    for (uint32_t i = 0; i < count; ++i) {
        le::Store32(m + table_off + 4 * i, items[i].size());
        if (items[i].size()) std::memcpy(p, items[i].data(), items[i].size());
        p += items[i].size();
    }
    return m;
}

Command::Command(uint32_t code) : cmd_code(code) {}

Command::~Command() {
    std::free(return_addr_);
    std::free(target_addr_);
}

void* Command::Pack(MessageMemory& memory, uint8_t type, uint32_t value,
                    const BlockList& items) const {
    return PackMessage(memory, type, static_cast<uint8_t>(tag), return_addr_, target_addr_, value,
                       seq_no, items);
}

void* Command::PackResultsAsReply(MessageMemory& memory, uint8_t tag, const char* sender,
                                  const char* addressee, uint32_t value, uint32_t seq_no) const {
    return PackMessage(memory, kTypeReply, tag, sender, addressee, value, seq_no, results_);
}

void* Command::BuildReply(MessageMemory& memory) {
    return Pack(memory, kTypeReply, static_cast<uint32_t>(status), results_);
}

void* Command::BuildRequest(MessageMemory& memory) {
    seq_no = NextSequenceNumber();
    return Pack(memory, kTypeRequest, cmd_code, params_);
}

bool Command::AddParam(const void* bytes, uint32_t size) {
    return AppendCopy(params_, bytes, size);
}
bool Command::AddResult(const void* bytes, uint32_t size) {
    return AppendCopy(results_, bytes, size);
}
void Command::AddParamTakeOver(void* block, uint32_t size) {
    params_.emplace_back(block, size);
}
void Command::AddResultTakeOver(void* block, uint32_t size) {
    results_.emplace_back(block, size);
}

const uint8_t* Command::GetParam(size_t i) const {
    return i < params_.size() ? params_[i].data() : nullptr;
}
uint32_t Command::GetParamSize(size_t i) const {
    return i < params_.size() ? params_[i].size() : 0;
}
bool Command::ParamU32(size_t i, uint32_t* out) const {
    const uint8_t* p = GetParam(i);
    if (p == nullptr || GetParamSize(i) < 4) return false;
    *out = le::Load32(p);
    return true;
}
const uint8_t* Command::GetResult(size_t i) const {
    return i < results_.size() ? results_[i].data() : nullptr;
}
uint32_t Command::GetResultSize(size_t i) const {
    return i < results_.size() ? results_[i].size() : 0;
}

void Command::SetReturnAddr(const char* addr) {
    std::free(return_addr_);
    return_addr_ = CopyString(addr);
}
void Command::SetTargetAddr(const char* addr) {
    std::free(target_addr_);
    target_addr_ = CopyString(addr);
}

int Command::ParseRequest(const void* message, size_t available) {
    MessageView v;
    if (CheckHeader(message, available, AddresseeRule::kAnyString, &v) != HeaderCheck::kOk) {
        params_.clear();
        cmd_code = 0;
        flags = 0;
        timeout_ms = kDefaultTimeoutMs;
        return 0;
    }
    return ParseRequest(v);
}

int Command::ParseRequest(const MessageView& v) {
    params_.clear();
    cmd_code = 0;
    flags = 0;
    timeout_ms = kDefaultTimeoutMs;
    if (v.type & kReplyBit) return 0;
    BlockList items;
    if (!CopyItems(v, items)) return 0;
    cmd_code = v.value;
    seq_no = v.seq_no;
    tag = v.tag;
    // The message's addressee is the name under which this node was reached; its sender is the
    // peer to answer.
    SetReturnAddr(v.addressee);
    SetTargetAddr(v.sender);
    params_ = std::move(items);
    return 1;
}

int Command::ParseReply(const void* message, size_t available) {
    MessageView v;
    if (CheckHeader(message, available, AddresseeRule::kAnyString, &v) != HeaderCheck::kOk) {
        results_.clear();
        status = 0;
        return 0;
    }
    return ParseReply(v);
}

int Command::ParseReply(const MessageView& v) {
    results_.clear();
    status = 0;
    if (!(v.type & kReplyBit) || v.seq_no != seq_no) return 0;
    BlockList items;
    if (!CopyItems(v, items)) {
        // The answer is lost; it must not read as a success with no items.
        status = kStatusReplyNotCopied;
        return 0;
    }
    status = static_cast<int32_t>(v.value);
    tag = v.tag;
    SetReturnAddr(v.addressee);
    SetTargetAddr(v.sender);
    results_ = std::move(items);
    return 1;
}

void* SendAuthorizationCommand::BuildReply(MessageMemory& memory) {
    auto* m = static_cast<uint8_t*>(Command::BuildReply(memory));
    if (m) m[kOffType] = kTypeAuthReply;
    return m;
}

void* SendAuthorizationCommand::BuildRequest(MessageMemory& memory) {
    auto* m = static_cast<uint8_t*>(Command::BuildRequest(memory));
    if (m) m[kOffType] = kTypeAuthRequest;
    return m;
}

} // namespace pm
