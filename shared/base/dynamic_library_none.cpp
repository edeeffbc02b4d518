// Native builds load no Windows libraries: the system loader finds nothing. Tests pass fakes.
#include "shared/base/dynamic_library.h"

namespace pm {
namespace {
class NoLibraryLoader final : public LibraryLoader {
public:
    void* Load(const char*) override { return nullptr; }
    void* Lookup(void*, const char*) override { return nullptr; }
    void Free(void*) override {}
    unsigned SetErrorMode(unsigned) override { return 0; }
};
} // namespace

LibraryLoader& SystemLibraryLoader() {
    static NoLibraryLoader loader;
    return loader;
}

} // namespace pm
