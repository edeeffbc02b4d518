#include <gtest/gtest.h>

#include <string>

#include "shared/base/dynamic_library.h"

namespace {

// Counts loads and frees and notes the error mode each load ran under.
class FakeLoader : public pm::LibraryLoader {
public:
    int loads = 0, frees = 0;
    bool fail = false;
    unsigned mode = 7;
    unsigned mode_at_load = 0;
    int token = 0;
    void* Load(const char*) override {
        ++loads;
        mode_at_load = mode;
        return fail ? nullptr : &token;
    }
    void* Lookup(void* module, const char* name) override {
        EXPECT_EQ(module, &token);
        return std::string(name) == "Present" ? &token : nullptr;
    }
    void Free(void*) override { ++frees; }
    unsigned SetErrorMode(unsigned m) override {
        unsigned old = mode;
        mode = m;
        return old;
    }
};

TEST(DynamicLibraryTest, BaseNameIsUpperCasedWithoutFolderOrExtension) {
    const struct {
        const char* path;
        const char* base;
    } cases[] = {
        {"C:\\Program Files\\x\\kavipc32.dll", "KAVIPC32"},
        {"dir.d/lib", "LIB"},
        {"c:name.ext", "NAME"},
        {"", ""},
        {"a.b.c", "A.B"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pm::DynamicLibrary::UpperBaseName(c.path), c.base) << c.path;
}

TEST(DynamicLibraryTest, CountsReferencesAndFreesAtZero) {
    FakeLoader loader;
    {
        pm::DynamicLibrary lib("x.dll", loader);
        EXPECT_EQ(loader.mode_at_load, 0x8001u); // SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX
        EXPECT_EQ(loader.mode, 7u);              // and restored
        EXPECT_TRUE(lib.Load());
        EXPECT_EQ(lib.RefCount(), 2);
        EXPECT_EQ(loader.loads, 1); // the second Load only counts
        lib.Release();
        EXPECT_NE(lib.GetProc("Present"), nullptr);
        EXPECT_EQ(lib.GetProc("Absent"), nullptr);
        lib.Release();
        EXPECT_FALSE(lib.IsLoaded());
        EXPECT_EQ(lib.GetProc("Present"), nullptr);
        lib.Release(); // nothing left to release
        EXPECT_EQ(loader.frees, 1);
        EXPECT_TRUE(lib.Load()); // loads again from scratch
        EXPECT_EQ(lib.RefCount(), 1);
    }
    EXPECT_EQ(loader.loads, 2);
    EXPECT_EQ(loader.frees, 2); // the destructor frees what is still loaded
}

TEST(DynamicLibraryTest, FailedLoadAnswersNullEverywhere) {
    FakeLoader loader;
    loader.fail = true;
    pm::DynamicLibrary lib("missing.dll", loader);
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_EQ(lib.RefCount(), 0);
    EXPECT_EQ(lib.GetProc("Present"), nullptr);
    lib.Release();
    EXPECT_EQ(loader.frees, 0); // no free for what never loaded
    EXPECT_EQ(loader.mode, 7u);
}

} // namespace
