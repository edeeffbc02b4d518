// The walks of the path helpers. No OS code here: DbcsRules answers every question about the
// code page.
#include "shared/path/path_helpers.h"

#include <cstring>
#include <vector>

namespace pm {
namespace {

// Bytes taken by the character at text[i]: 2 for a lead byte with a trail byte, else 1. A lead
// byte right before the terminator stands alone, so no walk ever reads past it.
std::size_t CharBytes(const char* text, std::size_t i, const DbcsRules& rules) {
    if (rules.IsLeadByte(static_cast<unsigned char>(text[i])) && text[i + 1] != '\0') return 2;
    return 1;
}

// Start of the last character among the first `length` bytes, or `length` when there is none.
std::size_t LastCharacter(const char* text, std::size_t length, const DbcsRules& rules) {
    std::size_t last = length;
    for (std::size_t i = 0; i < length;) {
        last = i;
        std::size_t n = CharBytes(text, i, rules);
        if (i + n > length) break;
        i += n;
    }
    return last;
}

// One decoded character: its wide value and where it starts in the multibyte text.
struct WideChar {
    wchar_t wide;
    std::size_t offset;
    std::size_t bytes;
};

// The whole text as wide characters; false when any character does not convert (then the
// text as a whole does not, as with mbstowcs).
bool Decode(const char* text, const DbcsRules& rules, std::vector<WideChar>& out) {
    std::size_t length = std::strlen(text);
    for (std::size_t i = 0; i < length;) {
        wchar_t w = 0;
        int n = rules.ToWide(&w, text + i, length - i);
        if (n <= 0) return false;
        out.push_back({w, i, static_cast<std::size_t>(n)});
        i += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

LeadByteTable& LeadByteTable::AddRange(unsigned char first, unsigned char last) {
    for (unsigned b = first; b <= last; ++b)
        lead_.set(b);
    return *this;
}

LeadByteTable LeadByteTable::CodePage932() {
    LeadByteTable table;
    table.AddRange(0x81, 0x9F).AddRange(0xE0, 0xFC);
    return table;
}

int LeadByteTable::ToWide(wchar_t* out, const char* text, std::size_t size) const {
    if (size == 0) return -1;
    unsigned char lead = static_cast<unsigned char>(text[0]);
    if (lead == 0) {
        if (out) *out = 0;
        return 0;
    }
    if (!lead_[lead]) {
        if (out) *out = static_cast<wchar_t>(lead);
        return 1;
    }
    if (size < 2 || text[1] == '\0') return -1;
    if (out) *out = static_cast<wchar_t>((lead << 8) | static_cast<unsigned char>(text[1]));
    return 2;
}

bool AppendBackslash(char* text, std::size_t size, DbcsRules& rules) {
    rules.SetUserLocale();
    if (text == nullptr || size == 0) return false;
    std::size_t length = strnlen(text, size);
    if (length == size) return false; // not terminated within its buffer
    if (length == 0) return true;
    if (text[LastCharacter(text, length, rules)] == '\\') return true;
    if (length + 2 > size) return false;
    text[length] = '\\';
    text[length + 1] = '\0';
    return true;
}

bool RemoveTrailingBackslash(char* text, DbcsRules& rules) {
    rules.SetUserLocale();
    if (text == nullptr) return false;
    std::size_t length = std::strlen(text);
    if (length == 0) return false;
    std::size_t last = LastCharacter(text, length, rules);
    if (text[last] != '\\') return false;
    text[last] = '\0';
    return true;
}

const char* FindLastBackslash(const char* text, DbcsRules& rules) {
    rules.SetUserLocale();
    if (text == nullptr) return nullptr;
    const char* found = nullptr;
    for (std::size_t i = 0; text[i] != '\0'; i += CharBytes(text, i, rules)) {
        if (text[i] == '\\' && CharBytes(text, i, rules) == 1) found = text + i;
    }
    return found;
}

const char* FindLastPathSeparator(const char* text, DbcsRules& rules) {
    if (text == nullptr) return nullptr;
    const char* found = nullptr;
    for (std::size_t i = 0; text[i] != '\0'; i += CharBytes(text, i, rules)) {
        char c = text[i];
        if ((c == '\\' || c == '/' || c == ':') && CharBytes(text, i, rules) == 1) {
            found = text + i;
        }
    }
    return found;
}

const char* FindCharacter(const char* text, const char* character, DbcsRules& rules) {
    rules.SetUserLocale();
    if (text == nullptr || character == nullptr) return nullptr;
    wchar_t wanted = 0;
    if (rules.ToWide(&wanted, character, std::strlen(character) + 1) <= 0) return nullptr;
    std::vector<WideChar> chars;
    if (!Decode(text, rules, chars)) return nullptr;
    for (const WideChar& c : chars) {
        if (c.wide == wanted) return text + c.offset;
    }
    return nullptr;
}

const char* FindLastCharacter(const char* text, wchar_t wide, DbcsRules& rules) {
    rules.SetUserLocale();
    if (text == nullptr) return nullptr;
    std::vector<WideChar> chars;
    if (!Decode(text, rules, chars)) return nullptr;
    for (auto it = chars.rbegin(); it != chars.rend(); ++it) {
        if (it->wide == wide) return text + it->offset;
    }
    return nullptr;
}

bool StripFileName(char* text, DbcsRules& rules) {
    rules.SetUserLocale();
    if (text == nullptr) return false;
    std::vector<WideChar> chars;
    if (!Decode(text, rules, chars)) return false;
    for (auto it = chars.rbegin(); it != chars.rend(); ++it) {
        if (it->wide == L'\\' || it->wide == L'/') {
            text[it->offset + it->bytes] = '\0';
            break;
        }
    }
    return true;
}

} // namespace pm
