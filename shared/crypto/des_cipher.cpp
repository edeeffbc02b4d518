// Portable: DES from its published tables, bits numbered 1 (leftmost) to 64 as the standard
// numbers them.
#include "shared/crypto/des_cipher.h"

#include <cstring>

namespace pm::exec {
namespace {

const uint8_t kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};
const uint8_t kFinalPermutation[64] = {
    40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
    62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
    51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25};
const uint8_t kExpansion[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                                12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
                                22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};
const uint8_t kPermutation[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                  2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
const uint8_t kChoice1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
const uint8_t kChoice2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
const uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
const uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// The 16 weak and semi-weak keys, with odd parity.
const uint8_t kWeakKeys[16][8] = {{0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},
                                  {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
                                  {0xE0, 0xE0, 0xE0, 0xE0, 0xF1, 0xF1, 0xF1, 0xF1},
                                  {0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x0E, 0x0E, 0x0E},
                                  {0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE},
                                  {0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01},
                                  {0x1F, 0xE0, 0x1F, 0xE0, 0x0E, 0xF1, 0x0E, 0xF1},
                                  {0xE0, 0x1F, 0xE0, 0x1F, 0xF1, 0x0E, 0xF1, 0x0E},
                                  {0x01, 0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1},
                                  {0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1, 0x01},
                                  {0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E, 0xFE},
                                  {0xFE, 0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E},
                                  {0x01, 0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E},
                                  {0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E, 0x01},
                                  {0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1, 0xFE},
                                  {0xFE, 0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1}};

uint64_t Load(const uint8_t b[8]) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 8 | b[i];
    return v;
}
void Store(uint64_t v, uint8_t b[8]) {
    for (int i = 7; i >= 0; --i, v >>= 8)
        b[i] = uint8_t(v);
}

// Picks bits of `in` (width `in_bits`, bit 1 leftmost) in the order of `table`.
uint64_t Permute(uint64_t in, int in_bits, const uint8_t* table, int out_bits) {
    uint64_t out = 0;
    for (int i = 0; i < out_bits; ++i)
        out = out << 1 | ((in >> (in_bits - table[i])) & 1);
    return out;
}

uint32_t Rotate28(uint32_t v, int n) {
    return ((v << n) | (v >> (28 - n))) & 0x0FFFFFFF;
}

uint32_t Feistel(uint32_t r, uint32_t high, uint32_t low) {
    uint64_t x = Permute(r, 32, kExpansion, 48) ^ (uint64_t(high) << 24 | low);
    uint32_t s = 0;
    for (int box = 0; box < 8; ++box) {
        unsigned six = unsigned(x >> (42 - 6 * box)) & 0x3F;
        unsigned row = ((six & 0x20) >> 4) | (six & 1);
        unsigned col = (six >> 1) & 0x0F;
        s = s << 4 | kSBoxes[box][row * 16 + col];
    }
    return uint32_t(Permute(s, 32, kPermutation, 32));
}

void Crypt(const DesKeySchedule& ks, const uint8_t in[8], uint8_t out[8], bool decrypt) {
    uint64_t block = Permute(Load(in), 64, kInitialPermutation, 64);
    uint32_t l = uint32_t(block >> 32), r = uint32_t(block);
    for (int round = 0; round < 16; ++round) {
        int k = decrypt ? 15 - round : round;
        uint32_t next = l ^ Feistel(r, ks.high[k], ks.low[k]);
        l = r;
        r = next;
    }
    // The last round's halves are not swapped back: R16 L16 goes into the final permutation.
    Store(Permute(uint64_t(r) << 32 | l, 64, kFinalPermutation, 64), out);
}

} // namespace

void DesKeySchedule::Wipe() {
    volatile uint32_t* h = high;
    volatile uint32_t* l = low;
    for (int i = 0; i < 16; ++i)
        h[i] = l[i] = 0;
}

bool IsWeakDesKey(const uint8_t key[8]) {
    for (const auto& weak : kWeakKeys) {
        bool same = true;
        for (int i = 0; i < 8 && same; ++i)
            same = (key[i] & 0xFE) == (weak[i] & 0xFE);
        if (same) return true;
    }
    return false;
}

void SetOddParity(uint8_t key[8]) {
    for (int i = 0; i < 8; ++i) {
        uint8_t b = key[i] & 0xFE;
        int ones = 0;
        for (uint8_t x = b; x; x &= uint8_t(x - 1))
            ++ones;
        key[i] = uint8_t(b | ((ones & 1) ? 0 : 1));
    }
}

bool BuildDesKeySchedule(const uint8_t key[8], DesKeySchedule* schedule) {
    if (IsWeakDesKey(key)) return false;
    uint64_t cd = Permute(Load(key), 64, kChoice1, 56);
    uint32_t c = uint32_t(cd >> 28) & 0x0FFFFFFF, d = uint32_t(cd) & 0x0FFFFFFF;
    for (int i = 0; i < 16; ++i) {
        c = Rotate28(c, kShifts[i]);
        d = Rotate28(d, kShifts[i]);
        uint64_t k = Permute(uint64_t(c) << 28 | d, 56, kChoice2, 48);
        schedule->high[i] = uint32_t(k >> 24) & 0xFFFFFF;
        schedule->low[i] = uint32_t(k) & 0xFFFFFF;
    }
    return true;
}

void DesEncryptBlock(const DesKeySchedule& schedule, const uint8_t in[8], uint8_t out[8]) {
    Crypt(schedule, in, out, false);
}
void DesDecryptBlock(const DesKeySchedule& schedule, const uint8_t in[8], uint8_t out[8]) {
    Crypt(schedule, in, out, true);
}

bool CbcEncrypt(const DesKeySchedule& schedule, const uint8_t iv[8], const uint8_t* in, size_t size,
                uint8_t* out) {
    if (size % 8 != 0) return false;
    uint8_t chain[8];
    std::memcpy(chain, iv, 8);
    for (size_t at = 0; at < size; at += 8) {
        uint8_t x[8];
        for (int i = 0; i < 8; ++i)
            x[i] = uint8_t(in[at + i] ^ chain[i]);
        DesEncryptBlock(schedule, x, chain);
        std::memcpy(out + at, chain, 8);
    }
    return true;
}

bool CbcDecrypt(const DesKeySchedule& schedule, const uint8_t iv[8], const uint8_t* in, size_t size,
                uint8_t* out) {
    if (size % 8 != 0) return false;
    uint8_t previous[8];
    std::memcpy(previous, iv, 8);
    for (size_t at = 0; at < size; at += 8) {
        uint8_t cipher[8], plain[8];
        std::memcpy(cipher, in + at, 8); // in may be out
        DesDecryptBlock(schedule, cipher, plain);
        for (int i = 0; i < 8; ++i)
            out[at + i] = uint8_t(plain[i] ^ previous[i]);
        std::memcpy(previous, cipher, 8);
    }
    return true;
}

bool StringToKey(const char* phrase, size_t length, uint8_t key[8]) {
    uint8_t bits[56] = {};
    size_t position = 0;
    bool forward = true;
    for (size_t i = 0; i < length; ++i) {
        unsigned c = static_cast<unsigned char>(phrase[i]);
        for (int j = 0; j < 7; ++j, c >>= 1) {
            if (forward)
                bits[position++] ^= uint8_t(c & 1);
            else
                bits[--position] ^= uint8_t(c & 1);
        }
        if ((i + 1) % 8 == 0) forward = !forward;
    }
    for (int j = 0; j < 8; ++j) {
        unsigned b = 0;
        for (int k = 0; k < 7; ++k)
            b |= unsigned(bits[7 * j + k]) << (k + 1);
        key[j] = uint8_t(b);
    }
    SetOddParity(key);
    DesKeySchedule schedule;
    if (!BuildDesKeySchedule(key, &schedule)) return false;
    // CBC checksum: the last cipher block of the zero-padded phrase, key as the vector.
    uint8_t chain[8];
    std::memcpy(chain, key, 8);
    for (size_t at = 0; at < length; at += 8) {
        uint8_t x[8] = {};
        size_t n = length - at < 8 ? length - at : 8;
        std::memcpy(x, phrase + at, n);
        for (int i = 0; i < 8; ++i)
            x[i] ^= chain[i];
        DesEncryptBlock(schedule, x, chain);
    }
    std::memcpy(key, chain, 8);
    SetOddParity(key);
    return true;
}

} // namespace pm::exec
