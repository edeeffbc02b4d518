// A catalog platform for tests: a chosen LCID, an executable path, a set of existing files and
// modules whose string tables are given block by block and language by language.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "shared/catalog/catalog_platform.h"

namespace pm::catalog::test {

// A string-table block of 16 entries: each a 16-bit length, then its UTF-16 units.
inline std::vector<uint16_t> StringBlock(const std::map<unsigned, std::u16string>& entries) {
    std::vector<uint16_t> units;
    for (unsigned i = 0; i < 16; ++i) {
        auto it = entries.find(i);
        const std::u16string text = it != entries.end() ? it->second : u"";
        units.push_back(static_cast<uint16_t>(text.size()));
        units.insert(units.end(), text.begin(), text.end());
    }
    return units;
}

struct FakeModule {
    // block number -> LANGID -> units
    std::map<uint16_t, std::map<uint16_t, std::vector<uint16_t>>> blocks;
    // The languages EnumResourceLanguagesA reports for the first block (default: those of
    // the first block in order).
    std::vector<uint16_t> first_block_languages;
};

class FakeCatalogPlatform : public CatalogPlatform {
public:
    uint32_t lcid = 0x0409;
    std::string exe = "C:\\Prog\\quorlent.exe";
    std::set<std::string> files;
    std::map<std::string, FakeModule> module_files; // path -> module loaded from it
    FakeModule main_module;                         // what a null module addresses
    std::map<unsigned, std::string> main_strings;   // LoadStringA of the main module
    int loads = 0, unloads = 0;

    uint32_t UserDefaultLcid() override { return lcid; }
    int LoadStringEntry(void* module, unsigned id, char* buffer, int size) override {
        if (module != nullptr || size <= 0) return 0;
        auto it = main_strings.find(id);
        if (it == main_strings.end()) {
            buffer[0] = '\0';
            return 0;
        }
        std::string s = it->second.substr(0, static_cast<size_t>(size - 1));
        std::copy(s.begin(), s.end(), buffer);
        buffer[s.size()] = '\0';
        return static_cast<int>(s.size());
    }
    std::string ExecutablePath() override { return exe; }
    bool FileExists(const std::string& path) override { return files.count(path) != 0; }
    void* LoadModule(const std::string& path) override {
        auto it = module_files.find(path);
        if (it == module_files.end()) return nullptr;
        ++loads;
        return &it->second;
    }
    void UnloadModule(void* module) override {
        if (module != nullptr) ++unloads;
    }
    bool FirstStringBlock(void* module, ResourceName* name) override {
        const FakeModule& m = Of(module);
        if (m.blocks.empty()) return false;
        name->id = m.blocks.begin()->first;
        return true;
    }
    std::vector<uint16_t> StringBlockLanguages(void* module, const ResourceName& name) override {
        const FakeModule& m = Of(module);
        if (!m.first_block_languages.empty()) return m.first_block_languages;
        std::vector<uint16_t> out;
        auto it = m.blocks.find(name.id);
        if (it != m.blocks.end())
            for (const auto& [lang, units] : it->second)
                out.push_back(lang);
        return out;
    }
    bool FindStringBlock(void* module, uint16_t block, uint16_t langid,
                         std::vector<uint16_t>* units) override {
        const FakeModule& m = Of(module);
        auto b = m.blocks.find(block);
        if (b == m.blocks.end()) return false;
        auto l = b->second.find(langid);
        if (l == b->second.end()) return false;
        *units = l->second;
        return true;
    }
    std::string WideToAnsi(const std::u16string& text) override {
        std::string out;
        for (char16_t c : text)
            out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
        return out;
    }

private:
    const FakeModule& Of(void* module) const {
        return module != nullptr ? *static_cast<const FakeModule*>(module) : main_module;
    }
};

} // namespace pm::catalog::test
