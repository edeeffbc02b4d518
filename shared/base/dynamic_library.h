// A reference-counted handle on a library loaded at run time. Portable: the loading itself
// goes through LibraryLoader, which is Win32 in the programs and a fake in the tests.
#pragma once

#include <string>

namespace pm {

class LibraryLoader {
public:
    virtual ~LibraryLoader() = default;
    virtual void* Load(const char* path) = 0; // null on failure
    virtual void* Lookup(void* module, const char* name) = 0;
    virtual void Free(void* module) = 0;
    virtual unsigned SetErrorMode(unsigned mode) = 0; // answers the previous mode
};

// LoadLibraryA and friends on Windows; elsewhere a loader that loads nothing.
LibraryLoader& SystemLibraryLoader();

class DynamicLibrary {
public:
    // No system error boxes while the library loads (SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX).
    static constexpr unsigned kLoadErrorMode = 0x8001;

    explicit DynamicLibrary(const char* path, LibraryLoader& loader = SystemLibraryLoader());
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads the library, or only adds 1 to the count when it is loaded already.
    bool Load();
    // Subtracts 1; frees the library when the count drops from 1 to 0.
    void Release();
    // Null when the library is not loaded or has no such entry point.
    [[nodiscard]] void* GetProc(const char* name) const;
    template <typename Fn> [[nodiscard]] Fn GetProcAs(const char* name) const {
        return reinterpret_cast<Fn>(GetProc(name));
    }

    [[nodiscard]] bool IsLoaded() const { return module_ != nullptr; }
    [[nodiscard]] int RefCount() const { return count_; }
    [[nodiscard]] const std::string& Path() const { return path_; }
    // File name without folder and extension, upper-cased: "C:\\x\\kavipc32.dll" gives "KAVIPC32".
    [[nodiscard]] const std::string& BaseName() const { return base_name_; }

    static std::string UpperBaseName(const std::string& path);

private:
    LibraryLoader& loader_;
    std::string path_;
    std::string base_name_;
    void* module_ = nullptr;
    int count_ = 0;
};

} // namespace pm
