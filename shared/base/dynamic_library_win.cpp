// The Win32 side of DynamicLibrary.
#include <windows.h>

#include "shared/base/dynamic_library.h"

namespace pm {
namespace {
class Win32LibraryLoader final : public LibraryLoader {
public:
    void* Load(const char* path) override { return reinterpret_cast<void*>(LoadLibraryA(path)); }
    void* Lookup(void* module, const char* name) override {
        return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
    }
    void Free(void* module) override { FreeLibrary(static_cast<HMODULE>(module)); }
    unsigned SetErrorMode(unsigned mode) override { return ::SetErrorMode(mode); }
};
} // namespace

LibraryLoader& SystemLibraryLoader() {
    static Win32LibraryLoader loader;
    return loader;
}

} // namespace pm
