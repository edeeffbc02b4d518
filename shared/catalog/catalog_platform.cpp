// Portable: no OS code here.
#include "shared/catalog/catalog_platform.h"

#include <atomic>

namespace pm::catalog {
namespace {
std::atomic<CatalogPlatform*> g_platform{nullptr};
}

CatalogPlatform& CurrentCatalogPlatform() {
    CatalogPlatform* p = g_platform.load();
    return p != nullptr ? *p : DefaultCatalogPlatform();
}

CatalogPlatform* SetCatalogPlatform(CatalogPlatform* platform) {
    CatalogPlatform* previous = g_platform.exchange(platform);
    return previous != nullptr ? previous : &DefaultCatalogPlatform();
}

} // namespace pm::catalog
