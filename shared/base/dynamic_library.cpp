// Portable: no OS calls here; the loader seam does them.
#include "shared/base/dynamic_library.h"

namespace pm {

std::string DynamicLibrary::UpperBaseName(const std::string& path) {
    size_t start = path.find_last_of("\\/:");
    start = (start == std::string::npos) ? 0 : start + 1;
    size_t dot = path.find_last_of('.');
    size_t end = (dot == std::string::npos || dot < start) ? path.size() : dot;
    std::string base = path.substr(start, end - start);
    for (char& c : base)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return base;
}

DynamicLibrary::DynamicLibrary(const char* path, LibraryLoader& loader)
    : loader_(loader), path_(path ? path : ""), base_name_(UpperBaseName(path_)) {
    Load();
}

DynamicLibrary::~DynamicLibrary() {
    if (module_) loader_.Free(module_);
}

bool DynamicLibrary::Load() {
    if (module_) {
        ++count_;
        return true;
    }
    unsigned previous = loader_.SetErrorMode(kLoadErrorMode);
    module_ = loader_.Load(path_.c_str());
    loader_.SetErrorMode(previous);
    count_ = module_ ? 1 : 0;
    return module_ != nullptr;
}

void DynamicLibrary::Release() {
    if (!module_) return;
    if (--count_ <= 0) {
        loader_.Free(module_);
        module_ = nullptr;
        count_ = 0;
    }
}

void* DynamicLibrary::GetProc(const char* name) const {
    if (!module_ || !name) return nullptr;
    return loader_.Lookup(module_, name);
}

} // namespace pm
