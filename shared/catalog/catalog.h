// Language selection and localized strings: the language code of the user's locale, entries
// of the program's string tables, localized copies of a module in language folders beside the
// executable, and MessageCatalog, which reads a localized module's string tables in a chosen
// language. Portable: the system is reached only through CatalogPlatform.
#pragma once

#include <cstdint>
#include <string>

#include "shared/text/text_string.h"

namespace pm::catalog {

// The language code of the user's default LCID (a static text; "en" when the language table
// has no row for it).
const char* GetLanguageCode();

// String-table entry `id` of module (null: the process's main module), read with LoadStringA
// into a 256-byte buffer. A missing entry gives an empty string with no buffer.
TextString LoadCatalogString(unsigned id, void* module = nullptr);
// The same into the caller's buffer; answers LoadStringA's result.
int LoadCatalogString(unsigned id, void* module, char* buffer, int size);

// The path of the first localized copy of `name` that exists, tried in this order beside the
// executable: <code>\name, <first two characters of code>\name (codes longer than 3
// characters), name, en\name. With `relative` the part after the executable's folder is
// answered. Empty when none exists. code_used (optional) receives the code of the folder.
TextString FindCatalogFile(const char* name, const char* code, bool relative,
                           TextString* code_used = nullptr);

// A string-table block holds 16 entries, each a 16-bit length and that many UTF-16 units.
constexpr unsigned kStringsPerBlock = 16;
constexpr uint16_t StringBlockOf(unsigned id) {
    return static_cast<uint16_t>(id / kStringsPerBlock + 1);
}
// Entry `index` of a block of `count` units; false when the block ends before it does.
bool StringBlockEntry(const uint16_t* units, size_t count, unsigned index, std::u16string* out);

class MessageCatalog {
public:
    // Languages tried after the catalog's own when a block is missing.
    static constexpr uint16_t kFallbackEnglish = 0x0009;
    static constexpr uint16_t kFallbackNeutral = 0x0000;

    // module_name: the module whose localized copy to load (null: none, the main module's
    // resources are read); code: the language wanted (null: GetLanguageCode()).
    explicit MessageCatalog(const char* module_name, const char* code = nullptr);
    ~MessageCatalog();
    MessageCatalog(const MessageCatalog&) = delete;
    MessageCatalog& operator=(const MessageCatalog&) = delete;

    // Text `id` in compressed unicode, or in the ANSI code page (at most 255 bytes). Empty,
    // with no buffer, when the block is found in none of the languages tried.
    [[nodiscard]] TextString LoadCompressed(unsigned id) const;
    [[nodiscard]] TextString LoadAnsi(unsigned id) const;

    [[nodiscard]] const TextString& RequestedCode() const { return requested_; }
    // The code whose resources were found, "en" when the module holds none of the wanted
    // language, empty when it holds no string table.
    [[nodiscard]] const TextString& ResolvedCode() const { return resolved_; }
    [[nodiscard]] void* Module() const { return module_; }
    [[nodiscard]] uint32_t Language() const { return language_; }

private:
    void LoadLocalized(const char* module_name, const char* code);
    void Unload();
    // 1: the first block holds the language; 0: it does not; -1: there is no string table.
    int HoldsLanguage() const;
    bool FindEntry(unsigned id, std::u16string* units) const;

    TextString requested_;
    TextString resolved_;
    void* module_ = nullptr;
    uint32_t language_ = 0;
};

} // namespace pm::catalog
