// DES (the block cipher with its key schedule), CBC mode, and the string-to-key that turns a
// pass phrase into a DES key, for the passwords of Execute Command. Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pm::exec {

using DesBlock = uint8_t[8];

// 16 subkeys of 48 bits, each kept as two 32-bit words of 24 bits (bits 1-24, bits 25-48).
struct DesKeySchedule {
    uint32_t high[16] = {};
    uint32_t low[16] = {};
    // Overwrites the subkeys (a schedule of the password key is secret).
    void Wipe();
    ~DesKeySchedule() { Wipe(); }
};

// True for the 4 weak and 12 semi-weak keys (parity bits ignored).
bool IsWeakDesKey(const uint8_t key[8]);
// Sets the low bit of every byte so that each byte has an odd number of one bits.
void SetOddParity(uint8_t key[8]);

// Builds the schedule of a key; refuses (false, schedule untouched) a weak or semi-weak key.
[[nodiscard]] bool BuildDesKeySchedule(const uint8_t key[8], DesKeySchedule* schedule);

void DesEncryptBlock(const DesKeySchedule& schedule, const uint8_t in[8], uint8_t out[8]);
void DesDecryptBlock(const DesKeySchedule& schedule, const uint8_t in[8], uint8_t out[8]);

// CBC over whole blocks; size must be a multiple of 8 (false otherwise, nothing written).
// in and out may be the same buffer.
[[nodiscard]] bool CbcEncrypt(const DesKeySchedule& schedule, const uint8_t iv[8],
                              const uint8_t* in, size_t size, uint8_t* out);
[[nodiscard]] bool CbcDecrypt(const DesKeySchedule& schedule, const uint8_t iv[8],
                              const uint8_t* in, size_t size, uint8_t* out);

// The DES string-to-key of the MIT Kerberos version 4 library: fan-fold of the 7 low bits of
// each byte, parity, then the CBC checksum of the (zero-padded) phrase under that key. False
// only when an intermediate key is weak, which no phrase of this program yields.
[[nodiscard]] bool StringToKey(const char* phrase, size_t length, uint8_t key[8]);

} // namespace pm::exec
