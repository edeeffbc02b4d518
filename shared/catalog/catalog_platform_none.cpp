// The catalog platform of native builds: an English locale and no resources or files.
// Portable: no OS code here.
#include "shared/catalog/catalog_platform.h"

namespace pm::catalog {
namespace {

class NoCatalogPlatform final : public CatalogPlatform {
public:
    uint32_t UserDefaultLcid() override { return 0x0409; }
    int LoadStringEntry(void*, unsigned, char* buffer, int size) override {
        if (buffer != nullptr && size > 0) buffer[0] = '\0';
        return 0;
    }
    std::string ExecutablePath() override { return ""; }
    bool FileExists(const std::string&) override { return false; }
    void* LoadModule(const std::string&) override { return nullptr; }
    void UnloadModule(void*) override {}
    bool FirstStringBlock(void*, ResourceName*) override { return false; }
    std::vector<uint16_t> StringBlockLanguages(void*, const ResourceName&) override { return {}; }
    bool FindStringBlock(void*, uint16_t, uint16_t, std::vector<uint16_t>*) override {
        return false;
    }
    std::string WideToAnsi(const std::u16string& text) override {
        std::string out;
        for (char16_t c : text)
            out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
        return out;
    }
};

} // namespace

CatalogPlatform& DefaultCatalogPlatform() {
    static NoCatalogPlatform platform;
    return platform;
}

} // namespace pm::catalog
