// Portable: no OS code here.
#include "shared/catalog/language_table.h"

#include <cctype>
#include <cstring>

namespace pm::catalog {
namespace {

// clang-format off
constexpr LanguageRow kRows[kLanguageRows] = {
    {"af", "af", 0x36, 0, 0x0036}, {"is", "is", 0x0F, 0, 0x000F},
    {"sq", "sq", 0x1C, 0, 0x001C}, {"in", "in", 0x21, 0, 0x0021},
    {"ar", "ar", 0x01, 0, 0x0001}, {"it", "it", 0x10, 0, 0x0010},
    {"eu", "eu", 0x2D, 0, 0x002D}, {"ja", "ja", 0x11, 0, 0x0011},
    {"be", "be", 0x23, 0, 0x0023}, {"ko", "ko", 0x12, 0, 0x0012},
    {"bg", "bg", 0x02, 0, 0x0002}, {"lv", "lv", 0x26, 0, 0x0026},
    {"ca", "ca", 0x03, 0, 0x0003}, {"lt", "lt", 0x27, 0, 0x0027},
    {"zhCN", "zhCN", 0x04, 2, 0x0804}, {"zhTW", "zhTW", 0x04, 1, 0x0404},
    {"zhCN", "zh", 0x04, 0, 0x0004}, // other Chinese locales read the simplified catalog
    {"hr", "hr", 0x1A, 0, 0x001A}, {"no", "no", 0x14, 0, 0x0014},
    {"cs", "cs", 0x05, 0, 0x0005}, {"pl", "pl", 0x15, 0, 0x0015},
    {"da", "da", 0x06, 0, 0x0006}, {"pt", "pt", 0x16, 0, 0x0016},
    {"nl", "nl", 0x13, 0, 0x0013}, {"ro", "ro", 0x18, 0, 0x0018},
    {"en", "en", 0x09, 0, 0x0009}, {"ru", "ru", 0x19, 0, 0x0019},
    {"et", "et", 0x25, 0, 0x0025},
    {"sr", "sr", 0x1A, 0, 0x001A}, // shares its primary language with "hr", which comes first
    {"fo", "fo", 0x38, 0, 0x0038}, {"sk", "sk", 0x1B, 0, 0x001B},
    {"fy", "fy", 0x29, 0, 0x0029}, {"sl", "sl", 0x24, 0, 0x0024},
    {"fi", "fi", 0x0B, 0, 0x000B}, {"es", "es", 0x0A, 0, 0x000A},
    {"fr", "fr", 0x0C, 0, 0x000C}, {"sv", "sv", 0x1D, 0, 0x001D},
    {"de", "de", 0x07, 0, 0x0007}, {"th", "th", 0x1E, 0, 0x001E},
    {"el", "el", 0x08, 0, 0x0008}, {"tr", "tr", 0x1F, 0, 0x001F},
    {"iw", "iw", 0x0D, 0, 0x000D}, {"uk", "uk", 0x22, 0, 0x0022},
    {"hu", "hu", 0x0E, 0, 0x000E}, {"vi", "vi", 0x2A, 0, 0x002A},
};
// clang-format on

bool EqualsIgnoringCase(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

} // namespace

const char* LanguageCodeForLcid(uint32_t lcid) {
    const uint16_t primary = PrimaryLanguage(lcid);
    const uint16_t sub = SubLanguage(lcid);
    for (const auto& row : kRows) {
        if (row.primary == primary && (row.sub == 0 || row.sub == sub)) return row.lcid_code;
    }
    return "en";
}

const LanguageRow* FindLanguageByCode(const char* code, size_t length) {
    if (code == nullptr || std::strlen(code) < length) return nullptr;
    for (const auto& row : kRows) {
        if (std::strlen(row.catalog_code) == length &&
            EqualsIgnoringCase(row.catalog_code, code, length))
            return &row;
    }
    return nullptr;
}

} // namespace pm::catalog
