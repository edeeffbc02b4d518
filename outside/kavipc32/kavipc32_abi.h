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
// | (by ordinal only) | 16      | OS version: major, minor, platform id                          |
// | (by ordinal only) | 37      | nonzero on the Windows 95/98 platform                          |
// | (by ordinal only) | 38      | nonzero: anonymous execution obeys "RestrictAnonCmdExec"       |
// | (by ordinal only) | 59      | nonzero: process performance counters count as disabled        |
// | (by ordinal only) | 41..48  | trace files (open, close, write with 0..2 arguments)           |
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

// Ordinal-only entry points.
typedef int(KAVIPC_API* KavGetOsVersionFn)(uint32_t* major, uint32_t* minor, uint32_t* platform);
typedef int(KAVIPC_API* KavFlagFn)(void);
typedef uintptr_t(KAVIPC_API* KavTraceOpenFn)(const char* name, const char* second_name,
                                              uint32_t max_kb);
typedef void(KAVIPC_API* KavTraceCloseFn)(uintptr_t trace);
typedef void(KAVIPC_API* KavTrace0Fn)(uintptr_t trace, const char* label, int line, const char* fmt);
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
}
