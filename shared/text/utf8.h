// The program's own UTF-8 encoder (from UCS-2) and decoder (to UCS-2).
//
// Portable: this file and its .cpp hold no OS code (no <windows.h>).
//
// Encoder: u < 0x80 one byte; u < 0x800 two bytes; otherwise three bytes. Surrogate units are
// encoded one by one as three-byte sequences; nothing is combined.
//
// Decoder, byte b up to the terminating zero:
//   b < 0x80               the unit is b
//   (b & 0xE0) == 0xC0     ((b & 0x1F) << 6) | (next & 0x3F)
//   any other byte         (b << 12) | ((next & 0x3F) << 6) | (next-but-one & 0x3F), 16 bits
// Nothing is validated: a stray continuation byte or a four-byte lead starts a three-byte
// sequence, and a following byte is taken whatever it is, except the terminator: a sequence
// that the terminator cuts short is dropped and decoding ends there: the decoder never reads
// past the terminator.
#pragma once

#include <cstdint>

namespace pm {

// Bytes that one unit takes in UTF-8 (1 to 3).
constexpr uint32_t Utf8UnitSize(uint16_t unit) {
    return unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
}

// Encodes exactly count units of src (zero units included, each as one zero byte) into
// buffer, which holds size bytes. Answers the bytes needed for all of them. A null buffer only
// counts; only whole units that fit are written.
uint32_t EncodeUtf8(const uint16_t* src, uint32_t count, char* buffer, uint32_t size);

// Decodes the zero-terminated UTF-8 text src (null counts as empty): each unit is emitted into
// buffer while it has room, then a zero unit if there is still room. Answers the units
// emitted + 1, whatever the room was. A null buffer only counts.
uint32_t DecodeUtf8(const char* src, uint16_t* buffer, uint32_t count);

// The classic unit count for sizing a buffer: bytes below 0x80 or above 0xBF. It equals the
// decoder's count for well-formed text; malformed text can differ (a stray continuation byte
// decodes to a unit but is not counted), so the program sizes by DecodeUtf8 instead.
uint32_t CountUtf8LeadBytes(const char* src);

} // namespace pm
