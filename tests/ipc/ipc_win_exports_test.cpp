// The export table (names and ordinals) and the ordinal-only services: version, platform,
// settings flags and trace files.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "shared/ipc/kavipc32_abi.h"
#include "outside/kavipc32/settings.h"
#include "shared/base/win_handles.h"
#include "tests/e2e_support_win.h"

namespace {

HMODULE Dll() {
    static HMODULE h = LoadLibraryA("KAVIPC32.DLL");
    return h;
}

FARPROC ByOrdinal(int n) {
    return GetProcAddress(Dll(), reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(n)));
}

// Through void*: FARPROC's own signature says nothing about the entry point's.
template <typename Fn> Fn Ord(int n) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(ByOrdinal(n)));
}

// Sets (or with value < 0 removes) a DWORD under the messaging key.
void SetFlag(const char* name, long value) {
    pm::win::unique_hkey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kavipc::kMessagingKey, 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    if (value < 0) {
        RegDeleteValueA(key.get(), name);
    } else {
        DWORD v = static_cast<DWORD>(value);
        ASSERT_EQ(RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
                  ERROR_SUCCESS);
    }
}

std::string InstallString(const char* value) {
    char buf[MAX_PATH] = {};
    DWORD size = sizeof buf;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, kavipc::kInstallKey, value, RRF_RT_REG_SZ, nullptr, buf,
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    return buf;
}

} // namespace

TEST(IpcExportsTest, NamedExportsAndTheirOrdinals) {
    ASSERT_NE(Dll(), nullptr);
    const struct {
        const char* name;
        int ordinal;
    } named[] = {
        {"InitApplication", 1},   {"TermApplication", 2},    {"EnqueueMessage", 3},
        {"EnqueueMessage2", 4},   {"AllocateMessage", 5},    {"FreeMessage", 6},
        {"SvcNodeExists", 7},     {"CreateSvcNode", 8},      {"DeleteSvcNode", 9},
        {"GetGlobalTimeout", 10}, {"NFUseInputDesktop", 11}, {"RequestNodeQuit", 12},
    };
    for (const auto& e : named) {
        FARPROC p = GetProcAddress(Dll(), e.name);
        ASSERT_NE(p, nullptr) << e.name;
        EXPECT_EQ(p, ByOrdinal(e.ordinal)) << e.name;
    }
    for (int ordinal : {16, 37, 38, 59, 41, 42, 43, 44, 45, 46, 47, 48}) {
        EXPECT_NE(ByOrdinal(ordinal), nullptr) << ordinal;
    }
    EXPECT_EQ(GetProcAddress(Dll(), "KavTraceOpen"), nullptr);      // ordinal only
    EXPECT_EQ(GetProcAddress(Dll(), "InitApplication@0"), nullptr); // undecorated
    // calls through the ordinal import library reach the DLL the test loaded by name
    void* m = AllocateMessage(40);
    ASSERT_NE(m, nullptr);
    auto free_by_ordinal = Ord<KavFreeMessageFn>(6);
    free_by_ordinal(m);
    EXPECT_EQ(GetGlobalTimeout("ProcMgr", 15000), 15000u);
    EXPECT_EQ(NFUseInputDesktop(0), 1);
}

TEST(IpcExportsTest, Ordinal16ReportsTheSystemVersion) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExA(&v));
    DWORD version = GetVersion();
#pragma GCC diagnostic pop
    uint32_t major = 99, minor = 99, platform = 99;
    auto fn = Ord<KavGetOsVersionFn>(16);
    ASSERT_EQ(fn(&major, &minor, &platform), 1);
    EXPECT_EQ(major, v.dwMajorVersion & 0xFF);
    EXPECT_EQ(minor, v.dwMinorVersion & 0xFF);
    EXPECT_EQ(platform, v.dwPlatformId);
    EXPECT_EQ(KavGetOsVersion(&major, nullptr, nullptr), 1);

    auto win9x = Ord<KavFlagFn>(37);
    EXPECT_EQ(win9x() != 0, (version & 0x80000000u) != 0);
    EXPECT_EQ(win9x(), 0); // Wine and Windows here are of the NT family
}

TEST(IpcExportsTest, Ordinals38And59FollowTheirSettings) {
    auto anon = Ord<KavFlagFn>(38);
    auto perf = Ord<KavFlagFn>(59);
    SetFlag(kavipc::kAnonExecRestrictedValue, -1);
    SetFlag(kavipc::kPerfCountersDisabledValue, -1);
    EXPECT_EQ(anon(), 0);
    EXPECT_EQ(perf(), 0);
    SetFlag(kavipc::kAnonExecRestrictedValue, 1);
    EXPECT_NE(anon(), 0);
    EXPECT_EQ(perf(), 0);
    SetFlag(kavipc::kPerfCountersDisabledValue, 7);
    EXPECT_NE(perf(), 0);
    SetFlag(kavipc::kAnonExecRestrictedValue, 0);
    EXPECT_EQ(anon(), 0);
    SetFlag(kavipc::kAnonExecRestrictedValue, -1);
    SetFlag(kavipc::kPerfCountersDisabledValue, -1);
}

TEST(IpcExportsTest, TraceFileWritesFormattedLinesAndRollsOver) {
    char tmp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, tmp), 0u);
    std::string dir = std::string(tmp) + "kavipc_trace_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string log = dir + "\\T.LOG", old = dir + "\\T.TMP";
    DeleteFileA(log.c_str());
    DeleteFileA(old.c_str());

    auto open = Ord<KavTraceOpenFn>(41);
    auto close = Ord<KavTraceCloseFn>(42);
    uintptr_t t = open(log.c_str(), old.c_str(), 1);
    ASSERT_NE(t, 0u);
    Ord<KavTrace0Fn>(43)(t, "mon.cpp", 1, "->Init");
    Ord<KavTraceSFn>(44)(t, "mon.cpp", 2, "file=%s", "velstra.ini");
    Ord<KavTraceSSFn>(45)(t, "mon.cpp", 3, "%s/%s", "a", "b");
    Ord<KavTraceSIFn>(46)(t, "mon.cpp", 4, "%s=%ld", "n", 5);
    Ord<KavTraceIFn>(47)(t, "mon.cpp", 5, "rc=%ld", -2);
    Ord<KavTraceIIFn>(48)(t, "mon.cpp", 6, "%ld,%ld", 7, 8);
    EXPECT_EQ(pm::test::ReadText(log),
              "mon.cpp(1): ->Init\nmon.cpp(2): file=velstra.ini\nmon.cpp(3): a/b\n"
              "mon.cpp(4): n=5\nmon.cpp(5): rc=-2\nmon.cpp(6): 7,8\n");
    for (int i = 0; i < 20; ++i)
        KavTrace0(t, "x", i, std::string(90, 'z').c_str());
    EXPECT_FALSE(
        pm::test::ReadText(old).empty()); // passed 1 KB: the first file moved to the second name
    EXPECT_LE(pm::test::ReadText(log).size(), 1024u);
    close(t);
    close(t); // a closed handle is ignored
    KavTrace0(t, "x", 1, "after close: ignored");
    KavTrace0(12345, "x", 1, "bogus handle: ignored");
    EXPECT_EQ(open(nullptr, nullptr, 1), 0u);
    EXPECT_EQ(open("no\\such\\folder\\x.log", nullptr, 1), 0u);
    DeleteFileA(log.c_str());
    DeleteFileA(old.c_str());
    RemoveDirectoryA(dir.c_str());
}

TEST(IpcExportsTest, RelativeTraceNamesLandInTheLogFolder) {
    std::string dir = InstallString("LogDir");
    if (dir.empty()) dir = InstallString("Data");
    if (dir.empty()) {
        char path[MAX_PATH];
        GetModuleFileNameA(Dll(), path, MAX_PATH);
        dir = path;
        dir = dir.substr(0, dir.find_last_of("\\/"));
    }
    std::string name = "KAVIPC_TEST_" + std::to_string(GetCurrentProcessId()) + ".LOG";
    uintptr_t t = KavTraceOpen(name.c_str(), "", 0);
    ASSERT_NE(t, 0u);
    KavTraceS(t, "here", 1, "%s", "yes");
    KavTraceClose(t);
    std::string full = dir + "\\" + name;
    EXPECT_EQ(pm::test::ReadText(full), "here(1): yes\n");
    DeleteFileA(full.c_str());
}
