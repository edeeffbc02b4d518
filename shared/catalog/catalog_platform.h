// The seam between the catalogs and the system: the user's locale, the executable's folder,
// file existence, module loading, string-table resources and the ANSI conversion.
//
// On Windows the default platform makes the Win32 calls (catalog_platform_win.cpp); native
// builds get a platform that finds nothing (catalog_platform_none.cpp). Tests install fakes
// with SetCatalogPlatform. A null module stands for the process's main module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pm::catalog {

// The name of a resource: an integer id (nonzero) or a text.
struct ResourceName {
    uint16_t id = 0;
    std::string text;
};

class CatalogPlatform {
public:
    virtual ~CatalogPlatform() = default;

    // GetUserDefaultLCID.
    virtual uint32_t UserDefaultLcid() = 0;
    // LoadStringA into the caller's buffer; answers its result (0: no such entry).
    virtual int LoadStringEntry(void* module, unsigned id, char* buffer, int size) = 0;
    // GetModuleFileNameA of the main module (at most 255 bytes).
    virtual std::string ExecutablePath() = 0;
    // OpenFile(OF_EXIST) succeeded.
    virtual bool FileExists(const std::string& path) = 0;
    // LoadLibraryA with the error mode 0x8001 (the previous mode restored after); null on failure.
    virtual void* LoadModule(const std::string& path) = 0;
    virtual void UnloadModule(void* module) = 0;
    // The name of the first RT_STRING block that EnumResourceNamesA reports; false when none.
    virtual bool FirstStringBlock(void* module, ResourceName* name) = 0;
    // The languages that EnumResourceLanguagesA reports for that block, in its order.
    virtual std::vector<uint16_t> StringBlockLanguages(void* module, const ResourceName& name) = 0;
    // FindResourceExA(RT_STRING, block, langid), loaded and locked: the block's UTF-16 units.
    // false when there is no such block in that language.
    virtual bool FindStringBlock(void* module, uint16_t block, uint16_t langid,
                                 std::vector<uint16_t>* units) = 0;
    // WideCharToMultiByte(CP_ACP) into a 256-byte buffer, zero-terminated.
    virtual std::string WideToAnsi(const std::u16string& text) = 0;
};

// The platform in use now, the built-in one, and installing another (null: the built-in one);
// SetCatalogPlatform answers the platform it replaces.
CatalogPlatform& CurrentCatalogPlatform();
CatalogPlatform& DefaultCatalogPlatform();
CatalogPlatform* SetCatalogPlatform(CatalogPlatform* platform);

class ScopedCatalogPlatform {
public:
    explicit ScopedCatalogPlatform(CatalogPlatform& p) : previous_(SetCatalogPlatform(&p)) {}
    ~ScopedCatalogPlatform() { SetCatalogPlatform(previous_); }
    ScopedCatalogPlatform(const ScopedCatalogPlatform&) = delete;
    ScopedCatalogPlatform& operator=(const ScopedCatalogPlatform&) = delete;

private:
    CatalogPlatform* previous_;
};

} // namespace pm::catalog
