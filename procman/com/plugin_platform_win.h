// The plug-in's Win32 platform: the clock, the process enumerations bound at run time, files,
// the plug-in's own resources and catalog, and the messaging library's ordinals.
#pragma once

#include <windows.h>

#include <memory>

#include "procman/com/plugin_platform.h"
#include "shared/base/dynamic_library.h"

namespace pm::monitor {

class Win32PluginPlatform final : public PluginPlatform {
public:
    void SetModule(HMODULE module) { module_ = module; }

    int64_t Now() override;
    LocalTime Local(int64_t calendar_time) override;
    bool IsWin9xFamily() override;
    bool ToolhelpUsable() override;
    bool PsapiUsable() override;
    bool ListToolhelp(std::vector<ProcessEntry>& out) override;
    void ListPsapi(std::vector<ProcessEntry>& out, uint32_t& ids) override;
    std::string LogDirectory() override;
    bool FileExists(const std::string& path) override;
    bool ReadFile(const std::string& path, size_t limit, std::vector<uint8_t>& out) override;
    bool ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes) override;
    int LoadOwnString(unsigned id, char* buffer, int size) override;
    std::vector<std::string> CatalogStrings(const std::vector<unsigned>& ids) override;
    std::vector<std::string> CatalogStringsFor(const std::string& code,
                                               const std::vector<unsigned>& ids) override;
    std::string LanguageCode() override;
    uintptr_t TraceOpen(const char* name, const char* second_name, uint32_t max_kb) override;
    void TraceClose(uintptr_t trace) override;
    void Trace0(uintptr_t trace, int line, const char* fmt) override;
    void TraceS(uintptr_t trace, int line, const char* fmt, const char* s) override;
    void TraceSS(uintptr_t trace, int line, const char* fmt, const char* s1,
                 const char* s2) override;
    void TraceSI(uintptr_t trace, int line, const char* fmt, const char* s, long n) override;
    void TraceI(uintptr_t trace, int line, const char* fmt, long n) override;
    void TraceII(uintptr_t trace, int line, const char* fmt, long n1, long n2) override;

private:
    // A binding: its library and three entry points, resolved once.
    struct Binding {
        int state = 0; // 0 not tried, 1 usable, -1 failed for good
        std::unique_ptr<DynamicLibrary> library;
        void* fn[3] = {nullptr, nullptr, nullptr};
    };
    static bool Resolve(Binding& b, const char* library, const char* const names[3]);

    HMODULE module_ = nullptr;
    Binding toolhelp_;
    Binding psapi_;
};

} // namespace pm::monitor
