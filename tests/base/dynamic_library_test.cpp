#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "shared/base/dynamic_library.h"

namespace {
// Records every call so that the order of error mode and load can be checked.
class FakeLoader : public pm::LibraryLoader {
public:
    std::vector<std::string> calls;
    bool fail = false;
    unsigned mode = 0;
    int token = 0;
    void* Load(const char* path) override {
        calls.push_back("load " + std::string(path) + " mode=" + std::to_string(mode));
        return fail ? nullptr : &token;
    }
    void* Lookup(void* module, const char* name) override {
        EXPECT_EQ(module, &token);
        return std::string(name) == "Present" ? &token : nullptr;
    }
    void Free(void*) override { calls.push_back("free"); }
    unsigned SetErrorMode(unsigned m) override {
        unsigned old = mode;
        mode = m;
        return old;
    }
};

TEST(DynamicLibraryTest, BaseNameIsUpperCasedWithoutFolderOrExtension) {
    const std::map<std::string, std::string> cases = {
        {"C:\\Program Files\\x\\kavipc32.dll", "KAVIPC32"},
        {"psapi.dll", "PSAPI"},
        {"dir.d/lib", "LIB"},
        {"c:name.ext", "NAME"},
        {"", ""},
        {"a.b.c", "A.B"},
    };
    for (const auto& [path, base] : cases) EXPECT_EQ(pm::DynamicLibrary::UpperBaseName(path), base) << path;
}

TEST(DynamicLibraryTest, LoadsUnderTheQuietErrorModeAndRestoresIt) {
    FakeLoader loader;
    loader.mode = 7;
    pm::DynamicLibrary lib("kavipc32.dll", loader);
    EXPECT_TRUE(lib.IsLoaded());
    EXPECT_EQ(lib.RefCount(), 1);
    EXPECT_EQ(loader.calls, (std::vector<std::string>{"load kavipc32.dll mode=32769"}));
    EXPECT_EQ(loader.mode, 7u);
    EXPECT_EQ(lib.BaseName(), "KAVIPC32");
}

TEST(DynamicLibraryTest, CountsReferencesAndFreesAtZero) {
    FakeLoader loader;
    {
        pm::DynamicLibrary lib("x.dll", loader);
        EXPECT_TRUE(lib.Load());
        EXPECT_EQ(lib.RefCount(), 2);
        EXPECT_EQ(loader.calls.size(), 1u); // the second Load only counts
        lib.Release();
        EXPECT_TRUE(lib.IsLoaded());
        EXPECT_NE(lib.GetProc("Present"), nullptr);
        EXPECT_EQ(lib.GetProc("Absent"), nullptr);
        lib.Release();
        EXPECT_FALSE(lib.IsLoaded());
        EXPECT_EQ(lib.GetProc("Present"), nullptr);
        lib.Release(); // nothing left to release
        EXPECT_EQ(loader.calls.back(), "free");
        EXPECT_TRUE(lib.Load()); // loads again from scratch
        EXPECT_EQ(lib.RefCount(), 1);
    }
    EXPECT_EQ(loader.calls, (std::vector<std::string>{"load x.dll mode=32769", "free",
                                                      "load x.dll mode=32769", "free"}));
}

TEST(DynamicLibraryTest, FailedLoadAnswersNullEverywhere) {
    FakeLoader loader;
    loader.fail = true;
    pm::DynamicLibrary lib("missing.dll", loader);
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_EQ(lib.RefCount(), 0);
    EXPECT_EQ(lib.GetProc("Present"), nullptr);
    lib.Release();
    EXPECT_EQ(loader.calls.size(), 1u); // no free for what never loaded
}
} // namespace
