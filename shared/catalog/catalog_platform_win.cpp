// Win32 implementation of CatalogPlatform: locale, module file name, OpenFile, LoadLibraryA and
// the string-table resources.
#include <windows.h>

#include <cstring>

#include "shared/catalog/catalog_platform.h"

namespace pm::catalog {
namespace {

constexpr UINT kQuietErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX; // 0x8001

BOOL CALLBACK FirstName(HMODULE, LPCSTR, LPSTR name, LONG_PTR param) {
    auto* out = reinterpret_cast<ResourceName*>(param);
    if (IS_INTRESOURCE(name)) {
        out->id = static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(name));
    } else {
        out->text = name;
    }
    return FALSE; // the first block is enough
}

BOOL CALLBACK EachLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR param) {
    reinterpret_cast<std::vector<uint16_t>*>(param)->push_back(language);
    return TRUE;
}

LPCSTR NameOf(const ResourceName& name) {
    return name.id != 0 ? MAKEINTRESOURCEA(name.id) : name.text.c_str();
}

class Win32CatalogPlatform final : public CatalogPlatform {
public:
    uint32_t UserDefaultLcid() override { return GetUserDefaultLCID(); }

    int LoadStringEntry(void* module, unsigned id, char* buffer, int size) override {
        return LoadStringA(Module(module), id, buffer, size);
    }

    std::string ExecutablePath() override {
        char path[256] = "";
        DWORD n = GetModuleFileNameA(nullptr, path, 255);
        path[n < 255 ? n : 255] = '\0';
        return path;
    }

    bool FileExists(const std::string& path) override {
        if (path.size() >= OFS_MAXPATHNAME) return false;
        OFSTRUCT of{};
        return OpenFile(path.c_str(), &of, OF_EXIST) != HFILE_ERROR; // 0x4000
    }

    void* LoadModule(const std::string& path) override {
        UINT previous = SetErrorMode(kQuietErrorMode);
        HMODULE module = LoadLibraryA(path.c_str());
        SetErrorMode(previous);
        return module;
    }
    void UnloadModule(void* module) override {
        if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
    }

    bool FirstStringBlock(void* module, ResourceName* name) override {
        ResourceName found;
        EnumResourceNamesA(Module(module), MAKEINTRESOURCEA(6) /* RT_STRING */, FirstName,
                           reinterpret_cast<LONG_PTR>(&found));
        if (found.id == 0 && found.text.empty()) return false;
        *name = found;
        return true;
    }

    std::vector<uint16_t> StringBlockLanguages(void* module, const ResourceName& name) override {
        std::vector<uint16_t> languages;
        EnumResourceLanguagesA(Module(module), MAKEINTRESOURCEA(6), NameOf(name), EachLanguage,
                               reinterpret_cast<LONG_PTR>(&languages));
        return languages;
    }

    bool FindStringBlock(void* module, uint16_t block, uint16_t langid,
                         std::vector<uint16_t>* units) override {
        HMODULE m = Module(module);
        HRSRC found = FindResourceExA(m, MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(block), langid);
        if (found == nullptr) return false;
        HGLOBAL loaded = LoadResource(m, found);
        const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
        if (data == nullptr) return false;
        const DWORD size = SizeofResource(m, found);
        units->resize(size / 2);
        if (!units->empty()) std::memcpy(units->data(), data, units->size() * 2);
        return true;
    }

    std::string WideToAnsi(const std::u16string& text) override {
        char out[256] = "";
        std::wstring wide(text.begin(), text.end());
        int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), out,
                                    sizeof out - 1, nullptr, nullptr);
        out[n > 0 ? n : 0] = '\0';
        return out;
    }

private:
    // Resource calls want a real module: null names the main module.
    static HMODULE Module(void* module) {
        return module != nullptr ? static_cast<HMODULE>(module) : GetModuleHandleA(nullptr);
    }
};

} // namespace

CatalogPlatform& DefaultCatalogPlatform() {
    static Win32CatalogPlatform platform;
    return platform;
}

} // namespace pm::catalog
