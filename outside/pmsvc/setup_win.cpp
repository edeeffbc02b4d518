#include "outside/pmsvc/setup_win.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "outside/pmsvc/acl_win.h"
#include "outside/pmsvc/at_rest.h"
#include "outside/pmsvc/gate_conf.h"
#include "outside/pmsvc/pieces_win.h"
#include "shared/base/win_handles.h"
#include "shared/cmdline/cmd_line.h"
#include "shared/text/json_string.h"

namespace pmsvc {
namespace {

const char kProductKey[] = "SOFTWARE\\Orvane\\Kestrane";
const char kVendorKey[] = "SOFTWARE\\Orvane";
const char kCredentialsCopy[] = "pmgate-credentials.txt";
// Set by an upgrading package before it removes the older version; removed by --configure.
const char kUpgradeKey[] = "SOFTWARE\\Orvane\\Kestrane\\Upgrade";
constexpr uint64_t kUpgradeMarkLife100ns = 30ull * 60 * 10000000; // 30 minutes

// An upgrade is under way: its mark is there and younger than 30 minutes (an older one was left
// by an upgrade that failed, and does not keep a later uninstall from cleaning up).
bool UpgradeUnderWay() {
    pm::win::unique_hkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUpgradeKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    FILETIME written{}, now{};
    if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, &written) != ERROR_SUCCESS)
        return false;
    GetSystemTimeAsFileTime(&now);
    auto ticks = [](const FILETIME& f) {
        return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return ticks(now) < ticks(written) + kUpgradeMarkLife100ns;
}

std::string Err(const char* what, DWORD e) {
    char text[160];
    std::snprintf(text, sizeof text, "%s (Win32 error %lu)", what, static_cast<unsigned long>(e));
    return text;
}

// Restart after 5 s, 30 s and 60 s; the failure count resets after a day.
std::string SetRecovery() {
    pm::win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return Err("cannot open the service control manager", GetLastError());
    pm::win::unique_schandle svc(
        OpenServiceA(scm.get(), "pmsvc", SERVICE_CHANGE_CONFIG | SERVICE_START));
    if (!svc) return Err("cannot open the service pmsvc", GetLastError());
    SC_ACTION actions[3] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA fa{};
    fa.dwResetPeriod = 86400;
    fa.cActions = 3;
    fa.lpsaActions = actions;
    if (!ChangeServiceConfig2A(svc.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &fa))
        return Err("cannot set the recovery actions", GetLastError());
    // Also when the service stops by itself with an error, not only when it crashes.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    ChangeServiceConfig2A(svc.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    return {};
}

// The image path in quotes when the installer wrote it without (Wine's msiexec does).
std::string QuoteImagePath(std::vector<std::string>& done) {
    pm::win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return Err("cannot open the service control manager", GetLastError());
    pm::win::unique_schandle svc(
        OpenServiceA(scm.get(), "pmsvc", SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
    if (!svc) return Err("cannot open the service pmsvc", GetLastError());
    DWORD needed = 0;
    QueryServiceConfigA(svc.get(), nullptr, 0, &needed);
    std::vector<unsigned char> buf(needed ? needed : 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
    if (!QueryServiceConfigA(svc.get(), config, needed, &needed))
        return Err("cannot read the service's configuration", GetLastError());
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return Err("cannot name pmsvc.exe", GetLastError());
    const auto quoted =
        QuotedImagePath(config->lpBinaryPathName ? config->lpBinaryPathName : "", exe);
    if (!quoted) return {};
    if (!ChangeServiceConfigA(svc.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              quoted->c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr))
        return Err("cannot quote the service's image path", GetLastError());
    done.push_back("image path: " + *quoted);
    return {};
}

// Until the service's process has ended (stopping the service when it still runs), at most
// kServiceGoneMs: its pieces end with it (they are in its job), and none of the files the
// uninstaller removes next is in use then. Some installers do not wait for the stop themselves.
constexpr DWORD kServiceGoneMs = 30000;
std::string WaitForServiceGone() {
    pm::win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return Err("cannot open the service control manager", GetLastError());
    pm::win::unique_schandle svc(
        OpenServiceA(scm.get(), "pmsvc", SERVICE_QUERY_STATUS | SERVICE_STOP));
    if (!svc) return {}; // not installed: nothing runs
    const ULONGLONG deadline = GetTickCount64() + kServiceGoneMs;
    pm::win::unique_handle process;
    for (;;) {
        SERVICE_STATUS_PROCESS st{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(svc.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&st),
                                  sizeof st, &needed))
            return Err("cannot query the service pmsvc", GetLastError());
        if (!process && st.dwProcessId != 0)
            process.reset(OpenProcess(SYNCHRONIZE, FALSE, st.dwProcessId));
        if (st.dwCurrentState == SERVICE_RUNNING) {
            SERVICE_STATUS ignored{};
            ControlService(svc.get(), SERVICE_CONTROL_STOP, &ignored);
        }
        const ULONGLONG now = GetTickCount64();
        if (st.dwCurrentState == SERVICE_STOPPED) {
            if (!process) return {};
            DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (WaitForSingleObject(process.get(), left) == WAIT_OBJECT_0) return {};
            return "the service pmsvc reported a stop, but its process is still running";
        }
        if (now >= deadline) return "the service pmsvc did not stop within 30 s";
        Sleep(250);
    }
}

std::string ReadFileText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Written beside as PATH.tmp and moved over PATH, so the gate never reads half a file.
std::string WriteWhole(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << text;
        if (!f.flush()) return "cannot write " + tmp;
    }
    if (!MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD e = GetLastError();
        DeleteFileA(tmp.c_str());
        return Err(("cannot replace " + path).c_str(), e);
    }
    return {};
}

std::string WriteGateConf(const std::string& dir, GateSettings s) {
    if (!s.credentials.empty()) {
        // A copy beside the programs: the deployment share may be gone after the install. It
        // is readable by SYSTEM and Administrators only from its creation on.
        std::ifstream in(s.credentials, std::ios::binary);
        if (!in) return "cannot read the credentials file " + s.credentials;
        std::stringstream text;
        text << in.rdbuf();
        const std::string copy = dir + kCredentialsCopy;
        std::string e = WriteFileWithSddl(copy, text.str(), kSecretSddl);
        if (!e.empty()) return e;
        s.credentials = copy;
    }
    const std::string path = dir + "pmgate.conf";
    return WriteWhole(path, UpdateGateConf(ReadFileText(path), s));
}

void Print(bool json, const std::vector<std::string>& done, const std::vector<std::string>& kept,
           const std::string& error) {
    if (json) {
        std::string out = "{\"ok\": ";
        out += error.empty() ? "true" : "false";
        auto list = [&](const char* name, const std::vector<std::string>& v) {
            out += std::string(", \"") + name + "\": [";
            for (size_t i = 0; i < v.size(); ++i)
                out += (i ? ", " : "") + pm::JsonString(v[i]);
            out += "]";
        };
        list("done", done);
        list("kept", kept);
        out += ", \"error\": " + (error.empty() ? std::string("null") : pm::JsonString(error));
        std::printf("%s}\n", out.c_str());
        return;
    }
    for (const auto& d : done)
        std::printf("%s\n", d.c_str());
    for (const auto& k : kept)
        std::printf("kept: %s\n", k.c_str());
    if (!error.empty()) std::fprintf(stderr, "pmsvc: %s\n", error.c_str());
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int Configure(const SvcArgs& args) {
    std::vector<std::string> done, kept;
    if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUpgradeKey) == ERROR_SUCCESS)
        done.push_back("upgrade finished");
    std::string error = SetRecovery();
    if (error.empty()) done.push_back("recovery: restart after 5 s, 30 s, 60 s");
    auto fail = [&](const std::string& e) { error = error.empty() ? e : error + "; " + e; };
    if (std::string e = QuoteImagePath(done); !e.empty()) fail(e);
    if (!args.gate.servers.empty()) {
        std::string e = WriteGateConf(ProgramFolder(), args.gate);
        if (e.empty())
            done.push_back("wrote " + ProgramFolder() + "pmgate.conf");
        else
            fail(e);
    }
    // The credentials copy (also one an older version left) for SYSTEM and Administrators
    // only; the data and log folders closed to writes by users. Before the service starts.
    pm::CmdLine settings(1);
    const char* data = settings.DataDirectory();
    const char* logs = settings.LogDirectory();
    for (const Lockdown& l :
         PlanLockdown(ProgramFolder(), data ? data : "", logs ? logs : "", kCredentialsCopy)) {
        if (!Exists(l.path)) continue;
        std::string e = SetDaclFromSddl(l.path, l.sddl);
        if (e.empty())
            done.push_back("permissions: " + l.path);
        else
            fail(e);
    }
    Print(args.json, done, kept, error);
    return error.empty() ? kExitOk : kExitFailed;
}

int Cleanup(const SvcArgs& args) {
    std::vector<std::string> done, kept;
    std::string error = WaitForServiceGone();
    if (!error.empty() || UpgradeUnderWay()) {
        kept.push_back(error.empty() ? "everything: a newer version is being installed"
                                     : "everything: the service still runs");
        Print(args.json, done, kept, error);
        return error.empty() ? kExitOk : kExitFailed;
    }
    const std::string program_dir = ProgramFolder();
    std::vector<std::string> folders;
    {
        pm::CmdLine settings(1);
        if (settings.LogDirectory() != nullptr) folders.push_back(settings.LogDirectory());
        if (settings.DataDirectory() != nullptr) folders.push_back(settings.DataDirectory());
    }
    folders.push_back(program_dir);
    // What the programs write: the service's log, the agent's and the plug-in's traces and
    // markers, the host's alerts, the gate's log, and the installer's gate files.
    static const char* const kWritten[] = {
        "pmsvc.log",       "quorlent.log",        "quorlent.dbg",  "TARNVEX.LOG",
        "TARNVEX.TMP",     "tarnvex.dbg",         "pmgate.log",    "pmgate.conf",
        "pmgate.conf.tmp", "pmhost-alerts.jsonl", kCredentialsCopy};
    for (const auto& dir : folders) {
        for (const char* name : kWritten) {
            std::string path = dir + name;
            if (Exists(path) && DeleteFileA(path.c_str())) done.push_back("removed " + path);
        }
        std::string defs = dir + "velstra.ini";
        if (Exists(defs)) {
            if (args.purge && DeleteFileA(defs.c_str()))
                done.push_back("removed " + defs);
            else if (!args.purge)
                kept.push_back(defs);
        }
    }
    // The log and data folders go when nothing else is left in them (not the program's own
    // folder: the installer removes it with its files).
    for (const auto& dir : folders)
        if (dir != program_dir && RemoveDirectoryA(dir.c_str())) done.push_back("removed " + dir);
    LSTATUS rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProductKey);
    if (rc == ERROR_SUCCESS) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKey);
        done.push_back(std::string("removed HKLM\\") + kProductKey);
    }
    // The vendor's key only when no other product of it is left there.
    if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, kVendorKey) == ERROR_SUCCESS)
        done.push_back(std::string("removed HKLM\\") + kVendorKey);
    Print(args.json, done, kept, "");
    return kExitOk;
}

} // namespace pmsvc
