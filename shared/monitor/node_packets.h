// The byte layouts of the monitor node tree: the node-path packet a host sends (read here
// within its own size), the node list, the node attributes and the node value the plug-in hands
// out, and the node handle arithmetic. Portable: no OS code here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pm::monitor {

// Alert type codes: the alert nodes of a monitor.
constexpr uint16_t kTypeStarted = 0x900;
constexpr uint16_t kTypeTerminated = 0x901;
constexpr uint16_t kTypeFailedToStart = 0x902;

// Node path packet: u32 size, u8 type 1, the language code in 6 bytes (NUL-terminated, at most
// 5 characters), u32 members (4), four u32 element offsets, u32 0, then the four elements
// NUL-terminated back to back from offset 35.
constexpr size_t kPacketHeaderSize = 35;
std::vector<uint8_t> BuildNodePathPacket(const std::string& language_code,
                                         const std::array<std::string, 4>& elements);

// "%010lu" of a number.
std::string TenDigits(uint32_t value);

constexpr uint32_t kNodeInterval = 15000;
constexpr uint32_t kNoHandle = 0xFFFFFFFF;
constexpr uint32_t kKeyMask = 0x0FFFFFFF;
constexpr unsigned kLeafShift = 28;
// Leaves 1-10 are listed; 11-13 are the alert nodes (alert type code - 2293).
constexpr unsigned kListedLeaves = 10;
constexpr unsigned kLastLeaf = 13;
constexpr uint32_t kAlertLeafBase = 2293;
constexpr uint32_t kFirstAlertCode = 0x900;
constexpr unsigned kNodeNameFirstId = 100;
constexpr size_t kLanguageFieldAt = 5;
constexpr size_t kLanguageFieldSize = 6;
constexpr size_t kNodeListHeader = 17;
constexpr size_t kNodeEntryFixed = 23;
constexpr size_t kNodeValueSize = 18;
constexpr size_t kAttributesFixed = 50;

inline uint32_t NodeHandle(uint32_t key, uint32_t leaf) {
    return (key & kKeyMask) | (leaf << kLeafShift);
}
inline uint32_t HandleKey(uint32_t handle) {
    return handle & kKeyMask;
}
inline unsigned HandleLeaf(uint32_t handle) {
    return handle >> kLeafShift;
}

// A node-path packet as received: the language field as its 6 bytes, and the `members`
// elements (still encoded) in order.
struct NodePath {
    std::array<uint8_t, kLanguageFieldSize> language{};
    std::vector<std::string> elements;
};

// False when the packet cannot be read within `available` bytes and its own size: shorter than
// its 35-byte header, a size beyond `available` or below the header, `members` above 4, an
// element offset outside the packet, an element without its NUL inside the packet. Nothing
// outside [packet, packet + min(available, size)) is read.
bool ReadNodePathPacket(const uint8_t* packet, size_t available, NodePath* out);

// One entry of a node list: both names already converted (compressed unicode), without NULs.
struct NodeListEntry {
    std::string pretty_name;
    std::string sym_name;
};

// The node list: header (17, type 2, size, count, 4 reserved zero bytes) then the entries, each
// with the request's language field copied and the leaf flag given.
std::vector<uint8_t> BuildNodeList(const std::array<uint8_t, kLanguageFieldSize>& language,
                                   const std::vector<NodeListEntry>& entries, uint8_t leaf_flag);

// The attributes of a leaf: its print format ("%.3f" for leaves 6 and 7, "%0.0f" otherwise)
// already converted, at offset 49; size = format length + 50.
const char* LeafFormat(unsigned leaf);
std::vector<uint8_t> BuildNodeAttributes(const std::string& compressed_format);

// The 18-byte value record.
std::array<uint8_t, kNodeValueSize> BuildNodeValue(double value);
double ReadNodeValue(const uint8_t* value);

// "%8lX" and "%10lu" as sscanf reads them: leading blanks, then at most 8 hexadecimal (an
// optional "0x" counted in the width) or 10 decimal digits; false when no digit comes. The
// number keeps its low 32 bits.
bool ScanHex8(const std::string& text, uint32_t* value);
bool ScanDec10(const std::string& text, uint32_t* value);

// The language code the names are loaded for: a code of exactly 5 characters loses its third
// (the separator of "zh_TW"); shorter ones stay; longer ones are not a language code (empty).
std::string CatalogLanguage(const std::string& code);

} // namespace pm::monitor
