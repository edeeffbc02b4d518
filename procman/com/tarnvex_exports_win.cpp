// TARNVEX.DLL: the library entry and the exports. Each export forwards to the plug-in's one
// state; none lets an exception out (at most one catch, mapping it to the export's failure).
#include <windows.h>

#include "procman/com/plugin.h"
#include "procman/com/plugin_platform_win.h"
#include "procman/com/tarnvex_abi.h"

namespace {

// The plug-in's state, once per loaded library.
pm::monitor::Win32PluginPlatform g_platform;
pm::monitor::Plugin g_plugin(g_platform);

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_platform.SetModule(module);
        g_plugin.RecordReferenceDay();
    }
    return TRUE;
}

extern "C" {

uint32_t TARNVEX_API InitIndepMonitors(const char* dir, uint32_t) {
    try {
        return g_plugin.InitIndepMonitors(dir);
    } catch (...) {
        return 1;
    }
}

uint32_t TARNVEX_API TermIndepMonitors(void) {
    try {
        return g_plugin.TermIndepMonitors();
    } catch (...) {
        return 1;
    }
}

const uint8_t* TARNVEX_API GetIndepMonitorAttributes(uint32_t mon_index) {
    try {
        return g_plugin.GetIndepMonitorAttributes(mon_index);
    } catch (...) {
        return nullptr;
    }
}

uint32_t TARNVEX_API IndepMonitorPulse(uint32_t mon_index, uint32_t elapsed_ms,
                                       uint32_t* alert_count_out) {
    try {
        return g_plugin.IndepMonitorPulse(mon_index, elapsed_ms, alert_count_out);
    } catch (...) {
        if (mon_index != 0) return pm::monitor::kNoSuchMonitorType;
        if (alert_count_out) *alert_count_out = 0;
        return pm::monitor::kPulseIntervalMs;
    }
}

uint32_t TARNVEX_API IndepGenAlert(uint32_t mon_index, uint8_t* owner, uint32_t* alert_class,
                                   char* source, char* text, uint16_t* type_code, uint16_t* level) {
    try {
        return g_plugin.GenAlert(mon_index, owner, alert_class, source, text, type_code, level,
                                 nullptr);
    } catch (...) {
        return 0;
    }
}

uint32_t TARNVEX_API IndepGenAlert2(uint32_t mon_index, uint8_t* owner, uint32_t* alert_class,
                                    char* source, char* text, uint16_t* type_code, uint16_t* level,
                                    const char** process_name) {
    try {
        return g_plugin.GenAlert(mon_index, owner, alert_class, source, text, type_code, level,
                                 process_name);
    } catch (...) {
        return 0;
    }
}

uint32_t TARNVEX_API MonitorAlert(uint32_t mon_index, uint8_t* owner, uint16_t* alert_class,
                                  uint32_t* event_time, char* bundle, char* key,
                                  const uint8_t** display, const uint8_t** symbolic,
                                  const char** process_name) {
    try {
        return g_plugin.MonitorAlert(mon_index, owner, alert_class, event_time, bundle, key,
                                     display, symbolic, process_name);
    } catch (...) {
        return 0;
    }
}

} // extern "C"
