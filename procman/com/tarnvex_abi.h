// The plug-in's exports as a host sees them: names, calling convention and arguments. No
// <windows.h>: plain types, so that portable code can name them too.
//
// Every export is __stdcall on i686 and undecorated in the DLL's export table.
//
// | Export                    | Result                                                         |
// |---------------------------|----------------------------------------------------------------|
// | InitIndepMonitors         | 1; loads "velstra.ini" from the directory (ends with "\\")     |
// | TermIndepMonitors         | 1; deletes the monitors (queued alerts stay)                    |
// | GetIndepMonitorAttributes | the 84-byte attributes for index 0, else null                  |
// | IndepMonitorPulse         | 15000 (next pulse due in ms), or 0xFFFFFFFF for another index  |
// | IndepGenAlert(2)          | 1 when an alert was delivered (message text form), else 0      |
// | MonitorAlert              | 1 when an alert was delivered (keys and node paths), else 0    |
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define TARNVEX_API __stdcall
#else
#define TARNVEX_API
#endif

extern "C" {

typedef uint32_t(TARNVEX_API* InitIndepMonitorsFn)(const char* dir, uint32_t ignored);
typedef uint32_t(TARNVEX_API* TermIndepMonitorsFn)(void);
typedef const uint8_t*(TARNVEX_API* GetIndepMonitorAttributesFn)(uint32_t mon_index);
typedef uint32_t(TARNVEX_API* IndepMonitorPulseFn)(uint32_t mon_index, uint32_t elapsed_ms,
                                                   uint32_t* alert_count_out);
typedef uint32_t(TARNVEX_API* IndepGenAlertFn)(uint32_t mon_index, uint8_t* owner,
                                               uint32_t* alert_class, char* source, char* text,
                                               uint16_t* type_code, uint16_t* level);
typedef uint32_t(TARNVEX_API* IndepGenAlert2Fn)(uint32_t mon_index, uint8_t* owner,
                                                uint32_t* alert_class, char* source, char* text,
                                                uint16_t* type_code, uint16_t* level,
                                                const char** process_name);
typedef uint32_t(TARNVEX_API* MonitorAlertFn)(uint32_t mon_index, uint8_t* owner,
                                              uint16_t* alert_class, uint32_t* event_time,
                                              char* bundle, char* key, const uint8_t** display,
                                              const uint8_t** symbolic, const char** process_name);

uint32_t TARNVEX_API InitIndepMonitors(const char* dir, uint32_t ignored);
uint32_t TARNVEX_API TermIndepMonitors(void);
const uint8_t* TARNVEX_API GetIndepMonitorAttributes(uint32_t mon_index);
uint32_t TARNVEX_API IndepMonitorPulse(uint32_t mon_index, uint32_t elapsed_ms,
                                       uint32_t* alert_count_out);
uint32_t TARNVEX_API IndepGenAlert(uint32_t mon_index, uint8_t* owner, uint32_t* alert_class,
                                   char* source, char* text, uint16_t* type_code, uint16_t* level);
uint32_t TARNVEX_API IndepGenAlert2(uint32_t mon_index, uint8_t* owner, uint32_t* alert_class,
                                    char* source, char* text, uint16_t* type_code, uint16_t* level,
                                    const char** process_name);
uint32_t TARNVEX_API MonitorAlert(uint32_t mon_index, uint8_t* owner, uint16_t* alert_class,
                                  uint32_t* event_time, char* bundle, char* key,
                                  const uint8_t** display, const uint8_t** symbolic,
                                  const char** process_name);
}
