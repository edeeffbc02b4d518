// The messaging library's entry points as its callers see them. No <windows.h>: the types
// are plain so that portable code (and its native tests) can name them too.
//
// Every export is __stdcall on i686 and undecorated in the DLL's export table.
//
// | Export            | Ordinal | Meaning                                                        |
// |-------------------|---------|----------------------------------------------------------------|
// | InitApplication   | 1       | start the library in this process; records the calling thread  |
// |                   |         | as the main thread (target of the graceful-stop quit message)  |
// | TermApplication   | 2       | stop the library's threads                                     |
// | EnqueueMessage    | 3       | hand a message to its addressee; 1 taken over, 0 refused       |
// | EnqueueMessage2   | 4       | the same; the second argument is accepted and ignored          |
// | AllocateMessage   | 5       | a writable buffer of the given size, or null                   |
// | FreeMessage       | 6       | releases a buffer from AllocateMessage or a delivered one      |
// | SvcNodeExists     | 7       | nonzero when a node of that name is registered on the machine  |
// | CreateSvcNode     | 8       | registers a node; nonzero handle on success                    |
// | DeleteSvcNode     | 9       | unregisters a node                                             |
// | GetGlobalTimeout  | 10      | the time-out to use for a request to that addressee            |
// | NFUseInputDesktop | 11      | accepted and ignored (no desktop notification in the stand-in) |
// | RequestNodeQuit   | 12      | asks the process that registered the node to stop normally:    |
// |                   |         | its library posts WM_QUIT to its main thread; 0 posted,        |
// |                   |         | 1 no such node, 2 that process has no main thread, 3 no answer |
// | NodeOwnerProcess  | 13      | the id of the process serving the node's pipe (who holds the   |
// |                   |         | name), 0 when none or Windows cannot tell                      |
// | (by ordinal only) | 16      | OS version: major, minor, platform id                          |
// | (by ordinal only) | 37      | nonzero on the Windows 95/98 platform                          |
// | (by ordinal only) | 38      | nonzero: anonymous execution obeys "RestrictAnonCmdExec"       |
// | (by ordinal only) | 59      | nonzero: process performance counters count as disabled        |
// | (by ordinal only) | 41..48  | trace files (open, close, write with 0..2 arguments)           |
//
// Ordinals 38 and 59 read DWORD values under HKLM "SOFTWARE\Orvane\Kestrane\Messaging"
// ("AnonExecRestricted" and "PerfCountersDisabled"; missing = 0). Ordinal 41 opens its first
// argument in the log folder (HKLM "SOFTWARE\Orvane\Kestrane\CurrentVersion" value "LogDir",
// else "Data", else the library's own folder); when the file would pass the size in KB it is
// renamed to the second name (replacing an older one) and started afresh. Each line reads
// "label(line): " and the formatted text. Ordinal 41 answers 0 when the file cannot be opened.
//
// Timer ticks come every 250 ms on the node's own library thread, which also delivers its
// messages; a message's elapsed value is the time since the last tick. A node's callback is
// never called twice at the same time. GetGlobalTimeout answers the time-out it is given.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KAVIPC_API __stdcall
#else
#define KAVIPC_API
#endif

extern "C" {

// Called for each delivered message (the node then owns it) and, with a null message, as a
// timer tick with the milliseconds elapsed since the previous call. Returns 0.
typedef int(KAVIPC_API* KavMessageCallback)(void* node, void* message, uint32_t elapsed_ms);

typedef int(KAVIPC_API* KavInitApplicationFn)(void);
typedef int(KAVIPC_API* KavTermApplicationFn)(void);
typedef void*(KAVIPC_API* KavAllocateMessageFn)(uint32_t size);
typedef void(KAVIPC_API* KavFreeMessageFn)(void* message);
typedef int(KAVIPC_API* KavEnqueueMessageFn)(void* message);
typedef int(KAVIPC_API* KavEnqueueMessage2Fn)(void* message, int flag);
typedef int(KAVIPC_API* KavSvcNodeExistsFn)(const char* name);
typedef uintptr_t(KAVIPC_API* KavCreateSvcNodeFn)(const char* name, void* node,
                                                  KavMessageCallback callback);
typedef int(KAVIPC_API* KavDeleteSvcNodeFn)(const char* name);
typedef uint32_t(KAVIPC_API* KavGetGlobalTimeoutFn)(const char* addressee, uint32_t timeout_ms);
typedef int(KAVIPC_API* KavNFUseInputDesktopFn)(int use);
typedef int(KAVIPC_API* KavRequestNodeQuitFn)(const char* name);
typedef uint32_t(KAVIPC_API* KavNodeOwnerProcessFn)(const char* name);

// Ordinal-only entry points.
typedef int(KAVIPC_API* KavGetOsVersionFn)(uint32_t* major, uint32_t* minor, uint32_t* platform);
typedef int(KAVIPC_API* KavFlagFn)(void);
typedef uintptr_t(KAVIPC_API* KavTraceOpenFn)(const char* name, const char* second_name,
                                              uint32_t max_kb);
typedef void(KAVIPC_API* KavTraceCloseFn)(uintptr_t trace);
typedef void(KAVIPC_API* KavTrace0Fn)(uintptr_t trace, const char* label, int line,
                                      const char* fmt);
typedef void(KAVIPC_API* KavTraceSFn)(uintptr_t trace, const char* label, int line, const char* fmt,
                                      const char* s);
typedef void(KAVIPC_API* KavTraceSSFn)(uintptr_t trace, const char* label, int line,
                                       const char* fmt, const char* s1, const char* s2);
typedef void(KAVIPC_API* KavTraceSIFn)(uintptr_t trace, const char* label, int line,
                                       const char* fmt, const char* s, long n);
typedef void(KAVIPC_API* KavTraceIFn)(uintptr_t trace, const char* label, int line, const char* fmt,
                                      long n);
typedef void(KAVIPC_API* KavTraceIIFn)(uintptr_t trace, const char* label, int line,
                                       const char* fmt, long n1, long n2);

// The entry points themselves, for callers linked with the import library (which binds by
// ordinal) and for the library's own definitions.
int KAVIPC_API InitApplication(void);
int KAVIPC_API TermApplication(void);
int KAVIPC_API EnqueueMessage(void* message);
int KAVIPC_API EnqueueMessage2(void* message, int flag);
void* KAVIPC_API AllocateMessage(uint32_t size);
void KAVIPC_API FreeMessage(void* message);
int KAVIPC_API SvcNodeExists(const char* name);
uintptr_t KAVIPC_API CreateSvcNode(const char* name, void* node, KavMessageCallback callback);
int KAVIPC_API DeleteSvcNode(const char* name);
uint32_t KAVIPC_API GetGlobalTimeout(const char* addressee, uint32_t timeout_ms);
int KAVIPC_API NFUseInputDesktop(int use);
int KAVIPC_API RequestNodeQuit(const char* name);
uint32_t KAVIPC_API NodeOwnerProcess(const char* name);
int KAVIPC_API KavGetOsVersion(uint32_t* major, uint32_t* minor, uint32_t* platform); // 16
int KAVIPC_API KavIsWin9x(void);                                                      // 37
int KAVIPC_API KavAnonExecRestricted(void);                                           // 38
int KAVIPC_API KavPerfCountersDisabled(void);                                         // 59
uintptr_t KAVIPC_API KavTraceOpen(const char* name, const char* second_name,
                                  uint32_t max_kb);                                       // 41
void KAVIPC_API KavTraceClose(uintptr_t trace);                                           // 42
void KAVIPC_API KavTrace0(uintptr_t trace, const char* label, int line, const char* fmt); // 43
void KAVIPC_API KavTraceS(uintptr_t trace, const char* label, int line, const char* fmt,
                          const char* s); // 44
void KAVIPC_API KavTraceSS(uintptr_t trace, const char* label, int line, const char* fmt,
                           const char* s1, const char* s2); // 45
void KAVIPC_API KavTraceSI(uintptr_t trace, const char* label, int line, const char* fmt,
                           const char* s, long n); // 46
void KAVIPC_API KavTraceI(uintptr_t trace, const char* label, int line, const char* fmt,
                          long n); // 47
void KAVIPC_API KavTraceII(uintptr_t trace, const char* label, int line, const char* fmt, long n1,
                           long n2); // 48
}
