// The language table shared by language selection and the message catalogs: 45 rows, searched
// in order. Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pm::catalog {

struct LanguageRow {
    const char* lcid_code;    // the code that GetLanguageCode answers for a matching LCID
    const char* catalog_code; // the code a catalog looks up (differs only for "zh")
    uint16_t primary;         // primary language of the LCID
    uint16_t sub;             // sub-language of the LCID; 0 matches any
    uint16_t langid;          // the LANGID whose string tables a catalog reads
};

constexpr size_t kLanguageRows = 45;

// The code for an LCID: primary language = low 10 bits, sub-language = bits 10 to 15; the
// first row whose primary language equals and whose sub-language is 0 or equal. "en" when
// none does.
const char* LanguageCodeForLcid(uint32_t lcid);

// The first row whose catalog code equals the first `length` characters of code, ignoring
// case; null when code is shorter than that or no row matches.
const LanguageRow* FindLanguageByCode(const char* code, size_t length);

// A LANGID's primary language and sub-language.
constexpr uint16_t PrimaryLanguage(uint32_t langid) {
    return static_cast<uint16_t>(langid & 0x3FF);
}
constexpr uint16_t SubLanguage(uint32_t langid) {
    return static_cast<uint16_t>((langid >> 10) & 0x3F);
}

// A string-table resource language serves a wanted LANGID when it is that LANGID, or when
// the wanted one names only a primary language and the resource is of that language.
constexpr bool ResourceLanguageMatches(uint16_t resource, uint16_t wanted) {
    return resource == wanted ||
           (SubLanguage(wanted) == 0 && PrimaryLanguage(resource) == PrimaryLanguage(wanted));
}

} // namespace pm::catalog
