// The web console's pages, scripts and the chart library, embedded at build time (the
// generated serve_assets.cpp; the chart library comes from the npm registry into the build).
#pragma once

#include <cstddef>
#include <string>

namespace pm::console {

struct Asset {
    const char* path; // "/app.js"
    const char* type; // its Content-Type
    const unsigned char* data;
    size_t size;
};

// The asset served at `path`; null when there is none ("/" is the page).
const Asset* FindAsset(const std::string& path);

} // namespace pm::console
