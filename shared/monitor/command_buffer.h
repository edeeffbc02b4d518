// The console's monitor commands as they reach the plug-in: a u32 command code, then the
// operands of that code. The exports get no buffer size, so the host checks a buffer against
// its real size (CheckCommandBuffer with the size it received) and the plug-in checks it against
// itself (with an unknown size) before anything changes. Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace pm::monitor {

constexpr uint32_t kCmdListAll = 0x100;
constexpr uint32_t kCmdDelete = 0x101;
constexpr uint32_t kCmdAdd = 0x102;
constexpr uint32_t kCmdReplace = 0x103;
constexpr uint32_t kCmdListPids = 0x111;
constexpr uint32_t kCmdReplaceAll = 0x112;
constexpr uint32_t kCmdUpdateAll = 0x113;
constexpr uint32_t kCmdListAll2 = 0x114;

// The size of a buffer whose end the reader cannot know.
constexpr size_t kUnknownSize = std::numeric_limits<size_t>::max();

// The word a code is traced with, null for a code without one (0x103 and unknown codes).
const char* CommandWord(uint32_t code);
// True for the codes whose success hands out a reply buffer (record list, id list, key).
bool CommandHasReply(uint32_t code);

// A command whose operands hold together, and where its records lie.
struct CheckedCommand {
    uint32_t code = 0;
    // DELETE: the name's bytes (compressed unicode) up to its NUL.
    const uint8_t* name = nullptr;
    size_t name_length = 0;
    // ADD, 0x103: one record; REPLACE_ALL, UPDATE_ALL: `count` records in order.
    std::vector<const uint8_t*> records;
};

// False when the buffer cannot be read as its code's command within `size` bytes: shorter than
// its code or operands, a record whose `length` is below its header plus a NUL, whose name has
// no NUL inside it or whose `name_offset` is outside 12..16, a count the records do not fill,
// a DELETE name without a NUL inside its `n` bytes. A code without operands (or unknown) needs
// only its 4 bytes. Nothing at or beyond `bytes + size` is read; with kUnknownSize each read
// stays inside what the buffer's own fields claim.
bool CheckCommandBuffer(const uint8_t* bytes, size_t size, CheckedCommand* out = nullptr);

// How many bytes of a buffer the command uses (0 when CheckCommandBuffer refuses it).
size_t CommandBufferUsed(const uint8_t* bytes, size_t size);

} // namespace pm::monitor
