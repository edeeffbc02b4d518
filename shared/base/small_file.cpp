#include "shared/base/small_file.h"

#include <cstdio>

namespace pm {

bool ReadSmallFile(const std::string& path, std::string& out, size_t limit) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char buf[4096];
    size_t n;
    out.clear();
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && out.size() < limit)
        out.append(buf, n);
    std::fclose(f);
    return true;
}

} // namespace pm
