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
// | IndepPassthrough(2)       | 1 when the console's command was carried out, else 0           |
// | IndepFreeBuffer           | 1; frees a reply of IndepPassthrough(2)                        |
// | InitNodes, TermNodes      | 1; load and free the node names                                |
// | GetNodeList               | a node list (FreeNodeList), or null                            |
// | GetNodeAttributes         | a node's print format record (FreeNodeAttributes), or null     |
// | NodeConnect               | 1 when a node handle was produced, else 0                      |
// | NodeDisconnect            | 1                                                              |
// | NodePulse                 | 15000, the interval for reading values in ms                   |
// | NodeGetValue              | an 18-byte value (NodeFreeValue), or null                      |
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

typedef uint32_t(TARNVEX_API* IndepPassthrough2Fn)(uint32_t mon_index, const uint8_t* command,
                                                   uint8_t** reply, uint32_t* reply_size,
                                                   const uint8_t* owner);
typedef uint32_t(TARNVEX_API* IndepPassthroughFn)(uint32_t mon_index, const uint8_t* command,
                                                  uint8_t** reply, uint32_t* reply_size);
typedef uint32_t(TARNVEX_API* IndepFreeBufferFn)(void* buffer, uint32_t ignored);
typedef uint32_t(TARNVEX_API* InitNodesFn)(void);
typedef uint32_t(TARNVEX_API* TermNodesFn)(void);
typedef uint8_t*(TARNVEX_API* GetNodeListFn)(const uint8_t* path);
typedef void(TARNVEX_API* FreeNodeListFn)(uint8_t* list);
typedef uint8_t*(TARNVEX_API* GetNodeAttributesFn)(uint32_t handle);
typedef void(TARNVEX_API* FreeNodeAttributesFn)(uint8_t* attributes);
typedef uint32_t(TARNVEX_API* NodeConnectFn)(const uint8_t* path, uint32_t* handle, uint8_t* found);
typedef uint32_t(TARNVEX_API* NodeDisconnectFn)(uint32_t handle);
typedef uint32_t(TARNVEX_API* NodePulseFn)(uint32_t handle, uint32_t ignored);
typedef uint8_t*(TARNVEX_API* NodeGetValueFn)(uint32_t handle);
typedef void(TARNVEX_API* NodeFreeValueFn)(uint8_t* value);

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
uint32_t TARNVEX_API IndepPassthrough2(uint32_t mon_index, const uint8_t* command, uint8_t** reply,
                                       uint32_t* reply_size, const uint8_t* owner);
uint32_t TARNVEX_API IndepPassthrough(uint32_t mon_index, const uint8_t* command, uint8_t** reply,
                                      uint32_t* reply_size);
uint32_t TARNVEX_API IndepFreeBuffer(void* buffer, uint32_t ignored);
uint32_t TARNVEX_API InitNodes(void);
uint32_t TARNVEX_API TermNodes(void);
uint8_t* TARNVEX_API GetNodeList(const uint8_t* path);
void TARNVEX_API FreeNodeList(uint8_t* list);
uint8_t* TARNVEX_API GetNodeAttributes(uint32_t handle);
void TARNVEX_API FreeNodeAttributes(uint8_t* attributes);
uint32_t TARNVEX_API NodeConnect(const uint8_t* path, uint32_t* handle, uint8_t* found);
uint32_t TARNVEX_API NodeDisconnect(uint32_t handle);
uint32_t TARNVEX_API NodePulse(uint32_t handle, uint32_t ignored);
uint8_t* TARNVEX_API NodeGetValue(uint32_t handle);
void TARNVEX_API NodeFreeValue(uint8_t* value);
}
