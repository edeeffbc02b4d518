// TARNVEX.DLL: the library entry and the exports. Each export forwards to the plug-in's one
// state; none lets an exception out (at most one catch, mapping it to the export's failure).
#include <windows.h>

#include "procman/com/plugin.h"
#include "procman/com/plugin_platform_win.h"
#include "shared/monitor/tarnvex_abi.h"

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

// --- the console's monitor commands and the node tree ---------------------------------------
// The exports receive no sizes: a command buffer is checked against what its own fields claim
// (its host checks it against the size it received), a node-path packet within the size it
// states.

extern "C" {

uint32_t TARNVEX_API IndepPassthrough2(uint32_t mon_index, const uint8_t* command, uint8_t** reply,
                                       uint32_t* reply_size, const uint8_t* owner) {
    try {
        return g_plugin.Passthrough2(mon_index, command, pm::monitor::kUnknownSize, reply,
                                     reply_size, owner);
    } catch (...) {
        return 0;
    }
}

uint32_t TARNVEX_API IndepPassthrough(uint32_t mon_index, const uint8_t* command, uint8_t** reply,
                                      uint32_t* reply_size) {
    static const uint8_t kNoOwner[8] = {};
    return IndepPassthrough2(mon_index, command, reply, reply_size, kNoOwner);
}

uint32_t TARNVEX_API IndepFreeBuffer(void* buffer, uint32_t) {
    pm::monitor::Plugin::FreeBuffer(buffer);
    return 1;
}

uint32_t TARNVEX_API InitNodes(void) {
    try {
        return g_plugin.InitNodes();
    } catch (...) {
        return 1;
    }
}

uint32_t TARNVEX_API TermNodes(void) {
    try {
        return g_plugin.TermNodes();
    } catch (...) {
        return 1;
    }
}

uint8_t* TARNVEX_API GetNodeList(const uint8_t* path) {
    try {
        if (!path) return nullptr;
        return g_plugin.GetNodeList(path, pm::monitor::ReadU32(path));
    } catch (...) {
        return nullptr;
    }
}

void TARNVEX_API FreeNodeList(uint8_t* list) {
    pm::monitor::Plugin::FreeBuffer(list);
}

uint8_t* TARNVEX_API GetNodeAttributes(uint32_t handle) {
    try {
        return g_plugin.GetNodeAttributes(handle);
    } catch (...) {
        return nullptr;
    }
}

void TARNVEX_API FreeNodeAttributes(uint8_t* attributes) {
    pm::monitor::Plugin::FreeBuffer(attributes);
}

uint32_t TARNVEX_API NodeConnect(const uint8_t* path, uint32_t* handle, uint8_t* found) {
    try {
        if (!path) {
            if (handle) *handle = pm::monitor::kNoHandle;
            if (found) *found = 0;
            return 0;
        }
        return g_plugin.NodeConnect(path, pm::monitor::ReadU32(path), handle, found);
    } catch (...) {
        return 0;
    }
}

uint32_t TARNVEX_API NodeDisconnect(uint32_t) {
    return 1;
}

uint32_t TARNVEX_API NodePulse(uint32_t, uint32_t) {
    return pm::monitor::kNodeInterval;
}

uint8_t* TARNVEX_API NodeGetValue(uint32_t handle) {
    try {
        return g_plugin.NodeGetValue(handle);
    } catch (...) {
        return nullptr;
    }
}

void TARNVEX_API NodeFreeValue(uint8_t* value) {
    pm::monitor::Plugin::FreeBuffer(value);
}

} // extern "C"
