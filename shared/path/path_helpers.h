// Path helpers that walk multibyte (DBCS) text: a lead byte and its trail byte count as one
// character, so a trail byte equal to '\\' is never taken for a separator. Portable: the
// lead-byte test, the C locale and the multibyte-to-wide step go through DbcsRules, which is
// the C run-time and IsDBCSLeadByte on Windows and a lead-byte table in the tests.
#pragma once

#include <bitset>
#include <cstddef>

namespace pm {

class DbcsRules {
public:
    virtual ~DbcsRules() = default;
    // Sets the C library locale to the user default (setlocale(LC_ALL, "")).
    virtual void SetUserLocale() = 0;
    virtual bool IsLeadByte(unsigned char byte) const = 0;
    // One character to a wide character, like mbtowc with at most `size` bytes available:
    // answers the bytes used, 0 at the terminator, -1 for an invalid or cut-off sequence.
    virtual int ToWide(wchar_t* out, const char* text, std::size_t size) const = 0;
};

// The process's rules: the ANSI code page and the C run-time on Windows; elsewhere a single-byte
// code page without lead bytes.
DbcsRules& SystemDbcsRules();

// A code page made of a table of lead bytes: a lead byte with a non-zero trail byte is the wide
// character (lead << 8) | trail, every other byte stands for itself. Changes no locale.
class LeadByteTable final : public DbcsRules {
public:
    LeadByteTable() = default;
    // Lead bytes first..last inclusive, added to the table.
    LeadByteTable& AddRange(unsigned char first, unsigned char last);
    // Lead bytes of code page 932 (0x81-0x9F, 0xE0-0xFC), whose trail bytes include '\\'.
    static LeadByteTable CodePage932();

    void SetUserLocale() override { ++locale_calls_; }
    bool IsLeadByte(unsigned char byte) const override { return lead_[byte]; }
    int ToWide(wchar_t* out, const char* text, std::size_t size) const override;
    [[nodiscard]] int LocaleCalls() const { return locale_calls_; }

private:
    std::bitset<256> lead_;
    int locale_calls_ = 0;
};

// Appends "\\" unless the last character already is one. `size` is the whole buffer; fails
// (false, text unchanged) when the text is not terminated within it or there is no room for
// one more byte. An empty text stays as it is.
[[nodiscard]] bool AppendBackslash(char* text, std::size_t size,
                                   DbcsRules& rules = SystemDbcsRules());

// Cuts off a last character "\\"; answers whether it did. An empty text stays as it is.
bool RemoveTrailingBackslash(char* text, DbcsRules& rules = SystemDbcsRules());

// The last "\\" that is a character of its own (never a trail byte), or null.
const char* FindLastBackslash(const char* text, DbcsRules& rules = SystemDbcsRules());
inline char* FindLastBackslash(char* text, DbcsRules& rules = SystemDbcsRules()) {
    return const_cast<char*>(FindLastBackslash(static_cast<const char*>(text), rules));
}

// The last '/', ':' or "\\" that is a character of its own, or null. The directory part of a
// program path ends there.
const char* FindLastPathSeparator(const char* text, DbcsRules& rules = SystemDbcsRules());

// The first occurrence in `text` of the multibyte character at `character`, compared as wide
// characters; null when there is none or either does not convert.
const char* FindCharacter(const char* text, const char* character,
                          DbcsRules& rules = SystemDbcsRules());

// The last occurrence in `text` of the wide character `wide`; null when there is none or the
// text does not convert.
const char* FindLastCharacter(const char* text, wchar_t wide, DbcsRules& rules = SystemDbcsRules());

// Removes the characters after the last "\\" or "/" (the separator stays). A text without a
// separator stays as it is; false when the text does not convert (then it is unchanged too).
bool StripFileName(char* text, DbcsRules& rules = SystemDbcsRules());

} // namespace pm
