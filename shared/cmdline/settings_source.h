// Everything CmdLine asks of the system, in one narrow interface: the Win32 calls on Windows
// (cmd_line_win.cpp), a fake in the tests and the fuzzer.
#pragma once

#include <cstddef>
#include <string>

namespace pm {

enum class RegistryRead {
    kOk,        // a string value: its bytes are in `raw`
    kMissing,   // no key or no value
    kNotString, // the value is there but not REG_SZ
    kTooLong,   // the value does not fit into the buffer it is read into
};

class SettingsSource {
public:
    // Bytes a registry value is read into.
    static constexpr std::size_t kRegistryValueBytes = 256;
    // Bytes of the working directory, of the program path and of a global atom's text.
    static constexpr std::size_t kCurrentDirectoryBytes = 256;
    static constexpr std::size_t kModuleFileNameChars = 255;
    static constexpr std::size_t kAtomTextBytes = 1024;

    virtual ~SettingsSource() = default;
    // The working directory (GetCurrentDirectoryA into 256 bytes); false when it does not fit.
    virtual bool CurrentDirectory(std::string& out) = 0;
    // The process's command line in the ANSI code page (GetCommandLineW, WideCharToMultiByte).
    virtual bool CommandLine(std::string& out) = 0;
    // The program's path (GetModuleFileNameA, at most 255 characters).
    virtual bool ModuleFileName(std::string& out) = 0;
    // The text of a global atom (GlobalGetAtomNameA, at most 1024 bytes).
    virtual bool GlobalAtomText(unsigned atom, std::string& out) = 0;
    // A string value under HKEY_LOCAL_MACHINE\<key>, read into kRegistryValueBytes bytes: `raw`
    // gets exactly the bytes the read delivered (terminator included when the value has one).
    virtual RegistryRead ReadRegistryString(const char* key, const char* value,
                                            std::string& raw) = 0;
    // A response file's whole contents, opened for reading while denying others write access.
    virtual bool ReadResponseFile(const char* path, std::string& contents) = 0;
};

// The Win32 source on Windows; natively one that has nothing to offer (every call fails).
SettingsSource& SystemSettingsSource();

} // namespace pm
