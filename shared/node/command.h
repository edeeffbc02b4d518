// One request between two service nodes and, after handling, its reply: the command code and
// parameters going out, the status and reply items coming back, both node addresses and the
// sequence number that pairs them. Portable: messages come from a MessageMemory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "shared/node/message_layout.h"
#include "shared/node/message_memory.h"

namespace pm {

// An owned block from the C heap with its size.
class Block {
public:
    Block() = default;
    Block(void* data, uint32_t size) : data_(static_cast<uint8_t*>(data)), size_(size) {}
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    Block(Block&& other) noexcept;
    Block& operator=(Block&& other) noexcept;
    ~Block();

    [[nodiscard]] uint8_t* data() const { return data_; }
    [[nodiscard]] uint32_t size() const { return size_; }

private:
    uint8_t* data_ = nullptr;
    uint32_t size_ = 0;
};
using BlockList = std::vector<Block>;

// Status of a command whose reply arrived but could not be copied (the heap is exhausted).
constexpr int32_t kStatusReplyNotCopied = static_cast<int32_t>(0xFFFF0001u);

class Command {
public:
    static constexpr uint32_t kDefaultTimeoutMs = 15000;
    static constexpr uint32_t kFlagDeferredReply = 1;

    explicit Command(uint32_t code = 0);
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Slot 0.
    virtual ~Command();
    // Slot 1: packs the reply (type 1, value = status, items = results); null when the
    // allocation fails or the message cannot be represented. The caller owns the message.
    virtual void* BuildReply(MessageMemory& memory);
    // Slot 2: takes the next sequence number, then packs the request (type 0, value = cmd_code,
    // items = params).
    virtual void* BuildRequest(MessageMemory& memory);
    // Slot 3: called when a sent request has its reply, timed out or could not be sent.
    virtual void OnComplete() {}

    // Copies; false when the heap is exhausted.
    bool AddParam(const void* bytes, uint32_t size);
    bool AddResult(const void* bytes, uint32_t size);
    // Take over a block allocated with malloc (the record builders hand theirs over).
    void AddParamTakeOver(void* block, uint32_t size);
    void AddResultTakeOver(void* block, uint32_t size);
    // A reply carrying this command's results to another peer (a relay's answer to the one who
    // asked it): null when it cannot be represented or allocated. The caller owns the message.
    void* PackResultsAsReply(MessageMemory& memory, uint8_t tag, const char* sender,
                             const char* addressee, uint32_t value, uint32_t seq_no) const;
    // Drops every reply item (a reply that cannot be packed is replaced by a smaller one).
    void ClearResults() { results_.clear(); }

    // Null / 0 when i is not below the count.
    [[nodiscard]] const uint8_t* GetParam(size_t i) const;
    [[nodiscard]] uint32_t GetParamSize(size_t i) const;
    // The first four bytes of parameter i as a little-endian number (longer parameters are
    // read too); false, leaving *out as it was, when the parameter is missing or shorter.
    bool ParamU32(size_t i, uint32_t* out) const;
    [[nodiscard]] size_t GetParamCount() const { return params_.size(); }
    [[nodiscard]] const uint8_t* GetResult(size_t i) const;
    [[nodiscard]] uint32_t GetResultSize(size_t i) const;
    [[nodiscard]] size_t GetResultCount() const { return results_.size(); }

    // Setting copies the string; null clears.
    void SetReturnAddr(const char* addr);
    void SetTargetAddr(const char* addr);
    [[nodiscard]] const char* GetReturnAddr() const { return return_addr_; }
    [[nodiscard]] const char* GetTargetAddr() const { return target_addr_; }

    // Reads a request: `available` is the size known to hold the message. Fails (0) for a
    // message with the reply bit or one whose offsets, lengths or counts do not fit; the
    // command keeps no parameters then.
    int ParseRequest(const void* message, size_t available);
    // Reads the reply to this command: fails for a request type, another sequence number or a
    // malformed message, leaving no reply items and status 0.
    int ParseReply(const void* message, size_t available);
    // The same for a message already checked into a view (the node checks each one once).
    // A reply whose items cannot be copied leaves status kStatusReplyNotCopied.
    int ParseRequest(const msg::MessageView& v);
    int ParseReply(const msg::MessageView& v);

    uint32_t cmd_code;
    int32_t status = 0;
    uint32_t seq_no = 0;
    uint32_t timeout_ms = kDefaultTimeoutMs;
    uint32_t flags = 0;
    uint32_t tag = 0; // 8 bits used

protected:
    void* Pack(MessageMemory& memory, uint8_t type, uint32_t value, const BlockList& items) const;

private:
    BlockList params_;
    BlockList results_;
    char* return_addr_ = nullptr;
    char* target_addr_ = nullptr;
};

// Packs the reply or request as Command does, then marks it as an authorization message
// (type 3 or 2).
class SendAuthorizationCommand : public Command {
public:
    using Command::Command;
    void* BuildReply(MessageMemory& memory) override;
    void* BuildRequest(MessageMemory& memory) override;
};

// The size of a packed message, or 0 when it cannot be represented (16-bit offsets and counts,
// 32-bit length).
uint32_t PackedMessageSize(const char* sender, const char* addressee, const BlockList& items);

// Packs a message into a buffer from `memory`; null when it cannot be represented or allocated.
void* PackMessage(MessageMemory& memory, uint8_t type, uint8_t tag, const char* sender,
                  const char* addressee, uint32_t value, uint32_t seq_no, const BlockList& items);

} // namespace pm
