// TextString, the heap string of both deliverables: a capacity and an owned, zero-terminated
// byte buffer (or none). Copies are deep; a missing buffer reads as "" everywhere except
// Text(), which answers it as null.
//
// Growth rules (n = the length to hold + 1):
//   assign   keeps the buffer when its capacity is from n to 2n, else allocates 3n/2 bytes
//   append   allocates 3n/2 bytes when the capacity is below n
//   construct, copy, concatenate, substring: exactly n bytes
//
// Comparisons, upper-casing and the KAVUCD32 conversions go through the TextPlatform seam
// (text_platform.h). Allocation failure leaves a string as it was; nothing throws.
#pragma once

#include <cstdint>

namespace pm {

class TextString {
public:
    TextString() noexcept = default;
    TextString(const char* text); // NOLINT: implicit, a text literal is a TextString
    TextString(const TextString& other);
    TextString(TextString&& other) noexcept;
    ~TextString();

    TextString& operator=(const TextString& other);
    TextString& operator=(TextString&& other) noexcept;
    TextString& operator=(const char* text) {
        Assign(text);
        return *this;
    }
    TextString& operator+=(const char* text) {
        Append(text);
        return *this;
    }
    TextString& operator+=(const TextString& other) {
        Append(other.text_);
        return *this;
    }

    // null counts as "".
    void Assign(const char* text);
    void Append(const char* text);

    // lstrcmpA reduced to -1, 0 or 1; null on either side counts as "".
    [[nodiscard]] int Compare(const char* text) const;
    [[nodiscard]] int Compare(const TextString& other) const { return Compare(other.text_); }

    [[nodiscard]] uint32_t Length() const;
    [[nodiscard]] bool IsEmpty() const { return text_ == nullptr || *text_ == '\0'; }
    // The buffer itself: null when there is none.
    [[nodiscard]] const char* Text() const { return text_; }
    [[nodiscard]] char* Text() { return text_; }
    // The text, "" when there is no buffer.
    [[nodiscard]] const char* CStr() const { return text_ != nullptr ? text_ : ""; }
    [[nodiscard]] uint32_t Capacity() const { return capacity_; }

    // CharUpperA in place; nothing for a missing buffer.
    void MakeUpper();
    // index clamped to the length, count clamped to what remains.
    [[nodiscard]] TextString Substring(uint32_t index, uint32_t count) const;

    // In-place conversions through KAVUCD32 (code page 42 names the compressed-unicode side).
    // 1 on success: the converted text replaces the buffer and the capacity is its size.
    // 0 on failure: the string is unchanged.
    int ToCompressedUnicode();    // ANSI to compressed unicode, ordinal 8
    int FromCompressedUnicode();  // compressed unicode to ANSI, ordinal 5
    int CompressedToUtf8();       // ordinal 3 to UCS-2, then EncodeUtf8
    int Utf8ToCompressed();       // DecodeUtf8 to UCS-2, then ordinal 1
    int OemToCompressedUnicode(); // ordinal 11: the stand-in library converts OEM text

    // Assigns the compressed-unicode form of a zero-terminated UCS-2 string (null counts as
    // empty), by the assign rules.
    void EncodeCompressedUnicode(const uint16_t* ucs2);

    // Decode this string's text to UCS-2 (compressed_unicode.h, utf8.h): units are written
    // while count allows, then a terminator if there is room; the answer is the units + 1.
    // A null buffer only counts.
    uint32_t DecodeCompressedUnicode(uint16_t* buffer, uint32_t count) const;
    uint32_t DecodeUtf8(uint16_t* buffer, uint32_t count) const;
    static uint32_t DecodeCompressedUnicode(const char* text, uint16_t* buffer, uint32_t count);
    static uint32_t DecodeUtf8(const char* text, uint16_t* buffer, uint32_t count);

    // A new string holding a then b (null counts as ""), capacity exactly its length + 1.
    static TextString Concatenate(const char* a, const char* b);

private:
    TextString(const char* text, uint32_t length); // exactly length + 1 bytes
    // The buffer to assign `needed` bytes into by the assign rules: this one, or a new one
    // (null when out of memory) that the caller fills and adopts.
    char* BufferForAssign(uint64_t needed, uint32_t* capacity) const;
    // Replaces the buffer by one from a conversion.
    void Adopt(char* buffer, uint32_t capacity);
    int ConvertThrough(int ordinal);

    uint32_t capacity_ = 0;
    char* text_ = nullptr;
};

// A new string holding a then b, capacity exactly its length + 1.
TextString operator+(const TextString& a, const TextString& b);
TextString operator+(const TextString& a, const char* b);

inline bool operator==(const TextString& a, const char* b) {
    return a.Compare(b) == 0;
}
inline bool operator!=(const TextString& a, const char* b) {
    return a.Compare(b) != 0;
}
inline bool operator<(const TextString& a, const char* b) {
    return a.Compare(b) < 0;
}
inline bool operator>(const TextString& a, const char* b) {
    return a.Compare(b) > 0;
}
inline bool operator<=(const TextString& a, const char* b) {
    return a.Compare(b) <= 0;
}
inline bool operator>=(const TextString& a, const char* b) {
    return a.Compare(b) >= 0;
}

inline bool operator==(const TextString& a, const TextString& b) {
    return a.Compare(b) == 0;
}
inline bool operator!=(const TextString& a, const TextString& b) {
    return a.Compare(b) != 0;
}
inline bool operator<(const TextString& a, const TextString& b) {
    return a.Compare(b) < 0;
}
inline bool operator>(const TextString& a, const TextString& b) {
    return a.Compare(b) > 0;
}
inline bool operator<=(const TextString& a, const TextString& b) {
    return a.Compare(b) <= 0;
}
inline bool operator>=(const TextString& a, const TextString& b) {
    return a.Compare(b) >= 0;
}

inline bool operator==(const char* a, const TextString& b) {
    return b.Compare(a) == 0;
}
inline bool operator!=(const char* a, const TextString& b) {
    return b.Compare(a) != 0;
}
inline bool operator<(const char* a, const TextString& b) {
    return b.Compare(a) > 0;
}
inline bool operator>(const char* a, const TextString& b) {
    return b.Compare(a) < 0;
}
inline bool operator<=(const char* a, const TextString& b) {
    return b.Compare(a) >= 0;
}
inline bool operator>=(const char* a, const TextString& b) {
    return b.Compare(a) <= 0;
}

} // namespace pm
