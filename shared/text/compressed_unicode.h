// Compressed unicode, the product's wire encoding of every text that crosses the messaging layer.
//
// Portable: this file and its .cpp hold no OS code (no <windows.h>).
//
// A zero-terminated byte string encoding UCS-2 units, 1 to 3 bytes per unit, 7 data bits per
// byte; bit 7 set means another byte of the same unit follows. The 7 data bits are stored
// "swapped" (bits 0-1 exchanged with bits 2-3):
//
//   u < 0x80            swap(u)
//   0x80 <= u < 0x4000  0x80|swap(u & 0x7F), swap((u >> 7) & 0x7F)
//   0x4000 <= u         0x80|swap(u & 0x7F), 0x80|swap((u >> 7) & 0x7F), (u >> 14) << 2
//
// The unit 0 is never encoded: a zero byte ends the string.
#pragma once

#include <cstdint>

namespace pm {

// Exchanges bits 0-1 with bits 2-3 of a 7-bit value and keeps bits 4-6. Its own inverse.
constexpr uint8_t CompressedSwap(uint8_t x) {
    return static_cast<uint8_t>(((x & 0x03) << 2) | ((x >> 2) & 0x03) | (x & 0x70));
}

// Number of bytes (1 to 3) that one unit takes; the unit 0 takes none.
constexpr uint32_t CompressedUnitSize(uint16_t unit) {
    return unit == 0 ? 0 : unit < 0x80 ? 1 : unit < 0x4000 ? 2 : 3;
}

// Writes the bytes of one nonzero unit to out (room for 3) and answers how many there are.
uint32_t EncodeCompressedUnit(uint16_t unit, uint8_t out[3]);

// Encodes the zero-terminated UCS-2 string src (null counts as empty) into buffer, which holds
// size bytes. Answers the bytes needed for the whole text including the terminator. A null
// buffer only counts. Only whole units that fit are written, and the terminator only when
// there is room for it after all of them.
uint32_t EncodeCompressedUnicode(const uint16_t* src, char* buffer, uint32_t size);

// Decodes the zero-terminated compressed-unicode text src (null counts as empty) to UCS-2:
// each unit is emitted into buffer while it has room, then a zero
// unit if there is still room. Answers the units emitted + 1, whatever the room was. A null
// buffer only counts. A unit whose last byte still has bit 7 set when the terminator comes is
// not emitted.
uint32_t DecodeCompressedUnicode(const char* src, uint16_t* buffer, uint32_t count);

} // namespace pm
