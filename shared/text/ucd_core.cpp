// The stand-in code-page library's conversions. Portable: no OS code here.
#include "shared/text/ucd_core.h"

#include <climits>
#include <cstring>
#include <new>

#include "shared/base/secure_wipe.h"
#include "shared/text/compressed_unicode.h"

namespace kavucd {
namespace {

// Windows-1252 0x80-0xFF as UCS-2 (0xA0-0xFF are Latin-1 and identical to the byte).
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 0x80 € . ‚ ƒ „ … † ‡
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 0x88 ˆ ‰ Š ‹ Œ . Ž .
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 0x90 . ' ' " " • – —
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 0x98 ˜ ™ š › œ . ž Ÿ
};

// Code page 437 0x80-0xFF as UCS-2.
constexpr uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, // 0x80 Ç ü é â ä à å ç
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, // 0x88 ê ë è ï î ì Ä Å
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, // 0x90 É æ Æ ô ö ò û ù
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, // 0x98 ÿ Ö Ü ¢ £ ¥ ₧ ƒ
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, // 0xA0 á í ó ú ñ Ñ ª º
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, // 0xA8 ¿ ⌐ ¬ ½ ¼ ¡ « »
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, // 0xB0 box drawing
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, // 0xB8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, // 0xC8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, // 0xD0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, // 0xD8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, // 0xE0 α ß Γ π Σ σ µ τ
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, // 0xE8 Φ Θ Ω δ ∞ φ ε ∩
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, // 0xF0 ≡ ± ≥ ≤ ⌠ ⌡ ÷ ≈
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0, // 0xF8 ° ∙ · √ ⁿ ² ■ nbsp
};

// A single-byte code page given by the units of its bytes 0x80-0xFF (an optional table for
// 0x80-0x9F with identity above, or a full table for 0x80-0xFF).
class SingleByteCodec final : public Codec {
public:
    SingleByteCodec(const uint16_t* high, size_t high_count)
        : high_(high), high_count_(high_count) {}

    bool ToUcs2(const char* text, std::vector<uint16_t>& units) override {
        units.clear();
        units.reserve(std::strlen(text) + 1); // no regrowth: the text may be a password
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
            units.push_back(Unit(*p));
        }
        return true;
    }

    bool FromUcs2(const uint16_t* units, size_t count, std::string& bytes) override {
        bytes.clear();
        bytes.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            bytes.push_back(static_cast<char>(Byte(units[i])));
        }
        return true;
    }

private:
    uint16_t Unit(unsigned char b) const {
        if (b < 0x80) {
            return b;
        }
        return b - 0x80u < high_count_ ? high_[b - 0x80] : b;
    }

    unsigned char Byte(uint16_t u) const {
        if (u < 0x80) {
            return static_cast<unsigned char>(u);
        }
        for (unsigned b = 0x80; b <= 0xFF; ++b) {
            if (Unit(static_cast<unsigned char>(b)) == u) {
                return static_cast<unsigned char>(b);
            }
        }
        return '?';
    }

    const uint16_t* high_;
    size_t high_count_;
};

bool Fits(size_t n) {
    return n > 0 && n <= static_cast<size_t>(INT_MAX);
}

// The two-call convention over a finished result of `needed` elements of `element` bytes.
int Deliver(const void* result, size_t needed, size_t element, void* dst, int dst_size) {
    if (!Fits(needed)) {
        return 0;
    }
    if (dst == nullptr || dst_size == 0) {
        return static_cast<int>(needed);
    }
    if (dst_size < 0 || static_cast<size_t>(dst_size) < needed) {
        return 0;
    }
    std::memcpy(dst, result, needed * element);
    return static_cast<int>(needed);
}

bool Accepts(const void* src, int code_page) {
    return src != nullptr && code_page == kCompressedUnicodeCodePage;
}

// Zero-terminated UCS-2 units to compressed unicode, terminator included.
std::string Compress(const uint16_t* units) {
    std::string out(pm::EncodeCompressedUnicode(units, nullptr, 0), '\0');
    pm::EncodeCompressedUnicode(units, &out[0], static_cast<uint32_t>(out.size()));
    return out;
}

// Compressed unicode to UCS-2 units, terminator included.
std::vector<uint16_t> Expand(const char* text) {
    std::vector<uint16_t> units(pm::DecodeCompressedUnicode(text, nullptr, 0));
    pm::DecodeCompressedUnicode(text, units.data(), static_cast<uint32_t>(units.size()));
    return units;
}

// The one catch of the boundary: an allocation failure answers 0.
template <typename Body> int Guarded(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return 0;
    }
}

} // namespace

Codec& Windows1252Codec() {
    static SingleByteCodec codec(kCp1252High, 32);
    return codec;
}

Codec& Cp437Codec() {
    static SingleByteCodec codec(kCp437High, 128);
    return codec;
}

int Ucs2ToCompressed(const void* src, void* dst, int dst_size, int code_page,
                     int /*flags*/) noexcept {
    if (!Accepts(src, code_page)) {
        return 0;
    }
    return Guarded([&] {
        std::string out = Compress(static_cast<const uint16_t*>(src));
        pm::WipeOnExit<std::string> wipe_out(out); // texts may be passwords
        return Deliver(out.data(), out.size(), 1, dst, dst_size);
    });
}

int CompressedToUcs2(const void* src, void* dst, int dst_size, int code_page,
                     int /*flags*/) noexcept {
    if (!Accepts(src, code_page)) {
        return 0;
    }
    return Guarded([&] {
        std::vector<uint16_t> units = Expand(static_cast<const char*>(src));
        pm::WipeOnExit<std::vector<uint16_t>> wipe_units(units);
        return Deliver(units.data(), units.size(), sizeof(uint16_t), dst, dst_size);
    });
}

int CompressedToAnsi(const void* src, void* dst, int dst_size, int code_page, int /*flags*/,
                     Codec& ansi) noexcept {
    if (!Accepts(src, code_page)) {
        return 0;
    }
    return Guarded([&] {
        std::vector<uint16_t> units = Expand(static_cast<const char*>(src));
        pm::WipeOnExit<std::vector<uint16_t>> wipe_units(units);
        // A zero unit inside the text (a malformed sequence can decode to one) ends it.
        size_t count = 0;
        while (units[count] != 0) {
            ++count;
        }
        std::string bytes;
        pm::WipeOnExit<std::string> wipe_bytes(bytes);
        if (!ansi.FromUcs2(units.data(), count, bytes)) {
            return 0;
        }
        // A codec never yields an inner zero byte; the string's own terminator goes along.
        return Deliver(bytes.c_str(), std::strlen(bytes.c_str()) + 1, 1, dst, dst_size);
    });
}

int AnsiToCompressed(const void* src, void* dst, int dst_size, int code_page, int /*flags*/,
                     Codec& ansi) noexcept {
    if (!Accepts(src, code_page)) {
        return 0;
    }
    return Guarded([&] {
        std::vector<uint16_t> units;
        pm::WipeOnExit<std::vector<uint16_t>> wipe_units(units);
        if (!ansi.ToUcs2(static_cast<const char*>(src), units)) {
            return 0;
        }
        // Terminated in place where the codec left room, else in a copy: growing `units`
        // would free its block unwiped.
        std::vector<uint16_t> terminated;
        pm::WipeOnExit<std::vector<uint16_t>> wipe_terminated(terminated);
        if (units.capacity() > units.size()) {
            units.push_back(0);
        } else {
            terminated.reserve(units.size() + 1);
            terminated.assign(units.begin(), units.end());
            terminated.push_back(0);
        }
        std::string out = Compress(terminated.empty() ? units.data() : terminated.data());
        pm::WipeOnExit<std::string> wipe_out(out);
        return Deliver(out.data(), out.size(), 1, dst, dst_size);
    });
}

int OemToCompressed(const void* src, void* dst, int dst_size, int code_page, int flags,
                    Codec& oem) noexcept {
    return AnsiToCompressed(src, dst, dst_size, code_page, flags, oem);
}

int Convert(int ordinal, const void* src, void* dst, int dst_size, int code_page, int flags,
            Codec& ansi, Codec& oem) noexcept {
    switch (ordinal) {
    case kUcs2ToCompressed:
        return Ucs2ToCompressed(src, dst, dst_size, code_page, flags);
    case kCompressedToUcs2:
        return CompressedToUcs2(src, dst, dst_size, code_page, flags);
    case kCompressedToAnsi:
        return CompressedToAnsi(src, dst, dst_size, code_page, flags, ansi);
    case kAnsiToCompressed:
        return AnsiToCompressed(src, dst, dst_size, code_page, flags, ansi);
    case kOemToCompressed:
        return OemToCompressed(src, dst, dst_size, code_page, flags, oem);
    default:
        return 0;
    }
}

} // namespace kavucd
