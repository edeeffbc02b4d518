// Portable: no OS code here; every system call goes through CatalogPlatform.
#include "shared/catalog/catalog.h"

#include <cstring>
#include <vector>

#include "shared/catalog/catalog_platform.h"
#include "shared/catalog/language_table.h"
#include "shared/text/compressed_unicode.h"

namespace pm::catalog {
namespace {

constexpr int kStringBuffer = 256;

std::string Directory(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

const char* GetLanguageCode() {
    return LanguageCodeForLcid(CurrentCatalogPlatform().UserDefaultLcid());
}

TextString LoadCatalogString(unsigned id, void* module) {
    char buffer[kStringBuffer] = "";
    int n = CurrentCatalogPlatform().LoadStringEntry(module, id, buffer, kStringBuffer);
    if (n <= 0) return TextString();
    buffer[kStringBuffer - 1] = '\0';
    return TextString(buffer);
}

int LoadCatalogString(unsigned id, void* module, char* buffer, int size) {
    return CurrentCatalogPlatform().LoadStringEntry(module, id, buffer, size);
}

TextString FindCatalogFile(const char* name, const char* code, bool relative,
                           TextString* code_used) {
    auto& p = CurrentCatalogPlatform();
    const std::string dir = Directory(p.ExecutablePath());
    const std::string file = name != nullptr ? name : "";
    const std::string lang = code != nullptr ? code : "";

    struct Candidate {
        std::string folder; // with its final "\", or empty
        std::string code;
    };
    std::vector<Candidate> candidates;
    if (!lang.empty()) candidates.push_back({lang + "\\", lang});
    if (lang.size() > 3) candidates.push_back({lang.substr(0, 2) + "\\", lang.substr(0, 2)});
    candidates.push_back({"", lang});
    candidates.push_back({"en\\", "en"});

    for (const auto& c : candidates) {
        const std::string path = dir + c.folder + file;
        if (!p.FileExists(path)) continue;
        if (code_used != nullptr) *code_used = c.code.c_str();
        return TextString(relative ? path.substr(dir.size()).c_str() : path.c_str());
    }
    return TextString();
}

bool StringBlockEntry(const uint16_t* units, size_t count, unsigned index, std::u16string* out) {
    size_t at = 0;
    for (unsigned i = 0; i < index; ++i) {
        if (at >= count) return false;
        at += 1 + static_cast<size_t>(units[at]);
    }
    if (at >= count) return false;
    const size_t length = units[at];
    if (length > count - at - 1) return false;
    out->assign(units + at + 1, units + at + 1 + length);
    return true;
}

MessageCatalog::MessageCatalog(const char* module_name, const char* code) {
    requested_ = code != nullptr ? code : GetLanguageCode();
    const char* wanted = requested_.CStr();

    if (std::strlen(wanted) > 3) {
        const LanguageRow* row = FindLanguageByCode(wanted, 4);
        if (row != nullptr) {
            language_ = row->langid;
            const TextString four = requested_.Substring(0, 4);
            LoadLocalized(module_name, four.CStr());
            if (HoldsLanguage() == 1) {
                resolved_ = four;
                return;
            }
            Unload();
        }
    }

    const TextString two = requested_.Substring(0, 2);
    const LanguageRow* row = FindLanguageByCode(two.CStr(), 2);
    language_ = row != nullptr ? row->langid : 0; // unknown: the neutral language
    LoadLocalized(module_name, two.CStr());
    const int holds = HoldsLanguage();
    if (holds < 0) return;
    resolved_ = holds == 1 ? two.CStr() : "en";
}

MessageCatalog::~MessageCatalog() {
    Unload();
}

void MessageCatalog::LoadLocalized(const char* module_name, const char* code) {
    if (module_name == nullptr) return;
    TextString path = FindCatalogFile(module_name, code, false);
    if (path.IsEmpty()) return;
    module_ = CurrentCatalogPlatform().LoadModule(path.CStr());
}

void MessageCatalog::Unload() {
    if (module_ != nullptr) CurrentCatalogPlatform().UnloadModule(module_);
    module_ = nullptr;
}

int MessageCatalog::HoldsLanguage() const {
    auto& p = CurrentCatalogPlatform();
    ResourceName block;
    if (!p.FirstStringBlock(module_, &block)) return -1;
    for (uint16_t lang : p.StringBlockLanguages(module_, block)) {
        if (ResourceLanguageMatches(lang, static_cast<uint16_t>(language_))) return 1;
    }
    return 0;
}

bool MessageCatalog::FindEntry(unsigned id, std::u16string* units) const {
    if (id / kStringsPerBlock + 1 > 0xFFFF) return false;
    auto& p = CurrentCatalogPlatform();
    const uint16_t tried[] = {static_cast<uint16_t>(language_), kFallbackEnglish, kFallbackNeutral};
    std::vector<uint16_t> block;
    for (uint16_t lang : tried) {
        block.clear();
        if (p.FindStringBlock(module_, StringBlockOf(id), lang, &block)) {
            // A block whose entries end early reads as an empty entry.
            if (!StringBlockEntry(block.data(), block.size(), id % kStringsPerBlock, units))
                units->clear();
            return true;
        }
    }
    return false;
}

TextString MessageCatalog::LoadCompressed(unsigned id) const {
    std::u16string units;
    if (!FindEntry(id, &units)) return TextString();
    // The encoder stops at a zero unit, as the text would end there anyway.
    std::vector<uint16_t> ucs2(units.begin(), units.end());
    ucs2.push_back(0);
    const uint32_t needed = EncodeCompressedUnicode(ucs2.data(), nullptr, 0);
    std::vector<char> buffer(needed);
    EncodeCompressedUnicode(ucs2.data(), buffer.data(), needed);
    return TextString(buffer.data());
}

TextString MessageCatalog::LoadAnsi(unsigned id) const {
    std::u16string units;
    if (!FindEntry(id, &units)) return TextString();
    std::string ansi = CurrentCatalogPlatform().WideToAnsi(units);
    if (ansi.size() > kStringBuffer - 1) ansi.resize(kStringBuffer - 1);
    return TextString(ansi.c_str());
}

} // namespace pm::catalog
