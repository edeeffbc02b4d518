// TextString. Portable: the system calls go through TextPlatform.
#include "shared/text/text_string.h"

#include <cstring>
#include <new>
#include <memory>

#include "shared/text/kavucd32_abi.h"
#include "shared/text/compressed_unicode.h"
#include "shared/text/text_platform.h"
#include "shared/text/utf8.h"

namespace pm {
namespace {

uint32_t LengthOf(const char* text) {
    return text != nullptr ? static_cast<uint32_t>(std::strlen(text)) : 0;
}

// Buffers are at most 4 GiB - 1 bytes, as the capacity is 32 bits; 0 is never allocated.
char* Allocate(uint64_t size) {
    if (size == 0 || size > UINT32_MAX) {
        return nullptr;
    }
    return new (std::nothrow) char[static_cast<size_t>(size)];
}

} // namespace

TextString::TextString(const char* text)
    : TextString(text != nullptr ? text : "", LengthOf(text)) {}

TextString::TextString(const char* text, uint32_t length) {
    char* buffer = Allocate(uint64_t{length} + 1);
    if (buffer != nullptr) {
        std::memcpy(buffer, text, length);
        buffer[length] = '\0';
        Adopt(buffer, length + 1);
    }
}

TextString::TextString(const TextString& other) {
    if (other.text_ != nullptr) { // a missing buffer stays missing
        *this = TextString(other.text_, other.Length());
    }
}

TextString::TextString(TextString&& other) noexcept
    : capacity_(other.capacity_), text_(other.text_) {
    other.capacity_ = 0;
    other.text_ = nullptr;
}

TextString::~TextString() {
    delete[] text_;
}

TextString& TextString::operator=(const TextString& other) {
    Assign(other.text_);
    return *this;
}

TextString& TextString::operator=(TextString&& other) noexcept {
    if (this != &other) {
        Adopt(other.text_, other.capacity_);
        other.capacity_ = 0;
        other.text_ = nullptr;
    }
    return *this;
}

void TextString::Adopt(char* buffer, uint32_t capacity) {
    delete[] text_;
    text_ = buffer;
    capacity_ = capacity;
}

char* TextString::BufferForAssign(uint64_t needed, uint32_t* capacity) const {
    if (text_ != nullptr && capacity_ >= needed && capacity_ <= 2 * needed) {
        *capacity = capacity_;
        return text_;
    }
    const uint64_t grown = needed * 3 / 2;
    *capacity = static_cast<uint32_t>(grown);
    return Allocate(grown);
}

void TextString::Assign(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    const uint64_t needed = uint64_t{std::strlen(text)} + 1;
    uint32_t capacity = 0;
    char* buffer = BufferForAssign(needed, &capacity);
    if (buffer == nullptr) {
        return;
    }
    std::memmove(buffer, text, static_cast<size_t>(needed)); // text may lie in this buffer
    if (buffer != text_) {
        Adopt(buffer, capacity);
    }
}

void TextString::Append(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    const uint32_t own = Length();
    const size_t added = std::strlen(text);
    const uint64_t needed = uint64_t{own} + added + 1;
    if (capacity_ >= needed) {
        std::memmove(text_ + own, text, added);
        text_[own + added] = '\0';
        return;
    }
    const uint64_t grown = needed * 3 / 2;
    char* buffer = Allocate(grown);
    if (buffer == nullptr) {
        return;
    }
    std::memcpy(buffer, CStr(), own);
    std::memcpy(buffer + own, text, added); // before the old buffer goes: text may lie in it
    buffer[own + added] = '\0';
    Adopt(buffer, static_cast<uint32_t>(grown));
}

int TextString::Compare(const char* text) const {
    const int result = CurrentTextPlatform().CompareText(CStr(), text != nullptr ? text : "");
    return result < 0 ? -1 : result > 0 ? 1 : 0;
}

uint32_t TextString::Length() const {
    return LengthOf(text_);
}

void TextString::MakeUpper() {
    if (text_ != nullptr) {
        CurrentTextPlatform().UpperCase(text_);
    }
}

TextString TextString::Substring(uint32_t index, uint32_t count) const {
    const uint32_t length = Length();
    if (index > length) {
        index = length;
    }
    if (count > length - index) {
        count = length - index;
    }
    return TextString(CStr() + index, count);
}

int TextString::ConvertThrough(int ordinal) {
    TextPlatform& platform = CurrentTextPlatform();
    const char* source = CStr();
    const int size =
        platform.Convert(ordinal, source, nullptr, 0, kavucd::kCompressedUnicodeCodePage, 0);
    if (size <= 0) {
        return 0;
    }
    char* buffer = Allocate(static_cast<uint64_t>(size));
    if (buffer == nullptr) {
        return 0;
    }
    std::memset(buffer, 0, static_cast<size_t>(size));
    if (platform.Convert(ordinal, source, buffer, size, kavucd::kCompressedUnicodeCodePage, 0) <=
        0) {
        delete[] buffer;
        return 0;
    }
    buffer[size - 1] = '\0'; // the text ends within its buffer whatever the library wrote
    Adopt(buffer, static_cast<uint32_t>(size));
    return 1;
}

int TextString::ToCompressedUnicode() {
    return ConvertThrough(kavucd::kAnsiToCompressed);
}

int TextString::FromCompressedUnicode() {
    return ConvertThrough(kavucd::kCompressedToAnsi);
}

int TextString::OemToCompressedUnicode() {
    return ConvertThrough(kavucd::kOemToCompressed);
}

int TextString::CompressedToUtf8() {
    TextPlatform& platform = CurrentTextPlatform();
    const char* source = CStr();
    const int count = platform.Convert(kavucd::kCompressedToUcs2, source, nullptr, 0,
                                       kavucd::kCompressedUnicodeCodePage, 0);
    if (count <= 0) {
        return 0;
    }
    std::unique_ptr<uint16_t[]> units(new (std::nothrow) uint16_t[static_cast<size_t>(count)]());
    if (!units || platform.Convert(kavucd::kCompressedToUcs2, source, units.get(), count,
                                   kavucd::kCompressedUnicodeCodePage, 0) <= 0) {
        return 0;
    }
    units[static_cast<size_t>(count) - 1] = 0; // the text ends whatever the library wrote
    // Every unit is encoded, the terminator included.
    const uint32_t size = EncodeUtf8(units.get(), static_cast<uint32_t>(count), nullptr, 0);
    char* buffer = Allocate(size);
    if (buffer == nullptr) {
        return 0;
    }
    const uint32_t written = EncodeUtf8(units.get(), static_cast<uint32_t>(count), buffer, size);
    Adopt(buffer, written);
    return 1;
}

int TextString::Utf8ToCompressed() {
    // Sized by the decoder itself rather than by counting lead bytes: malformed text (a stray
    // continuation byte) can decode to more units than it has lead bytes.
    const char* source = CStr();
    const uint32_t count = pm::DecodeUtf8(source, nullptr, 0);
    std::unique_ptr<uint16_t[]> units(new (std::nothrow) uint16_t[count]);
    if (!units) {
        return 0;
    }
    pm::DecodeUtf8(source, units.get(), count);

    TextPlatform& platform = CurrentTextPlatform();
    const int size = platform.Convert(kavucd::kUcs2ToCompressed, units.get(), nullptr, 0,
                                      kavucd::kCompressedUnicodeCodePage, 0);
    if (size <= 0) {
        return 0;
    }
    char* buffer = Allocate(static_cast<uint64_t>(size));
    if (buffer == nullptr) {
        return 0;
    }
    std::memset(buffer, 0, static_cast<size_t>(size));
    if (platform.Convert(kavucd::kUcs2ToCompressed, units.get(), buffer, size,
                         kavucd::kCompressedUnicodeCodePage, 0) <= 0) {
        delete[] buffer;
        return 0;
    }
    buffer[size - 1] = '\0';
    Adopt(buffer, static_cast<uint32_t>(size));
    return 1;
}

void TextString::EncodeCompressedUnicode(const uint16_t* ucs2) {
    const uint64_t needed = pm::EncodeCompressedUnicode(ucs2, nullptr, 0);
    uint32_t capacity = 0;
    char* buffer = BufferForAssign(needed, &capacity);
    if (buffer == nullptr) {
        return;
    }
    pm::EncodeCompressedUnicode(ucs2, buffer, capacity);
    if (buffer != text_) {
        Adopt(buffer, capacity);
    }
}

uint32_t TextString::DecodeCompressedUnicode(uint16_t* buffer, uint32_t count) const {
    return pm::DecodeCompressedUnicode(text_, buffer, count);
}

uint32_t TextString::DecodeUtf8(uint16_t* buffer, uint32_t count) const {
    return pm::DecodeUtf8(text_, buffer, count);
}

uint32_t TextString::DecodeCompressedUnicode(const char* text, uint16_t* buffer, uint32_t count) {
    return pm::DecodeCompressedUnicode(text, buffer, count);
}

uint32_t TextString::DecodeUtf8(const char* text, uint16_t* buffer, uint32_t count) {
    return pm::DecodeUtf8(text, buffer, count);
}

TextString TextString::Concatenate(const char* a, const char* b) {
    const uint32_t length_a = LengthOf(a);
    const uint32_t length_b = LengthOf(b);
    TextString joined;
    char* buffer = Allocate(uint64_t{length_a} + length_b + 1);
    if (buffer != nullptr) {
        std::memcpy(buffer, a != nullptr ? a : "", length_a);
        std::memcpy(buffer + length_a, b != nullptr ? b : "", length_b);
        buffer[length_a + length_b] = '\0';
        joined.Adopt(buffer, length_a + length_b + 1);
    }
    return joined;
}

TextString operator+(const TextString& a, const TextString& b) {
    return TextString::Concatenate(a.Text(), b.Text());
}

TextString operator+(const TextString& a, const char* b) {
    return TextString::Concatenate(a.Text(), b);
}

} // namespace pm
