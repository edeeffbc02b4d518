// What Execute Command needs from the system, narrowed to whole questions. The program uses the
// Win32 implementation (exec_platform_win.cpp); tests drive the flow with fakes. Objects that
// hold handles (the execution mutex held, a logon token, a window station or desktop, a started
// process with its pipe) are owned by the flow and close their handles when destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "procman/w32/exec/command_line.h"
#include "procman/w32/exec/output_capture.h"

namespace pm::exec {

// The execution mutex, held; destroying it releases the mutex.
class ExecutionLock {
public:
    virtual ~ExecutionLock() = default;
};

// A logon token; destroying it closes the token.
class LogonToken {
public:
    virtual ~LogonToken() = default;
};

// What a security descriptor says about its DACL.
enum class DaclKind {
    kAbsent,  // no DACL
    kNull,    // present but null: everyone has every access already
    kPresent, // the bytes read
};

// The interactive window station or its desktop, opened for its DACL.
class UserObject {
public:
    virtual ~UserObject() = default;
    // The object's DACL bytes (only for kPresent). false: the error.
    virtual bool ReadDacl(std::vector<uint8_t>* dacl, DaclKind* kind, uint32_t* error) = 0;
    // Writes a new DACL (present, not defaulted). false: the error.
    virtual bool WriteDacl(const std::vector<uint8_t>& acl, uint32_t* error) = 0;
};

// The process made to use another window station; destroying it puts the previous one back,
// so that the station opened for a run can be closed again (a process's own station cannot).
class StationSwitch {
public:
    virtual ~StationSwitch() = default;
};

// What process creation gets.
struct StartSpec {
    std::string command_line;
    std::string working_directory;        // empty: none
    const uint8_t* environment = nullptr; // null: inherited
    size_t environment_size = 0;
    bool capture = false;              // standard output and error into a pipe
    bool no_window = false;            // CREATE_NO_WINDOW instead of a new console
    const LogonToken* token = nullptr; // non-null: as that user, impersonating
    int variant = 1;                   // 1 to 4, as chosen by the flow
};

enum class WaitOutcome { kEnded, kTimedOut, kFailed };

// A started process with the read end of its pipe (when captured); destroying it closes both.
class StartedProcess {
public:
    virtual ~StartedProcess() = default;
    // Valid only for a captured start.
    virtual CaptureSource& Output() = 0;
    // Waits (0xFFFFFFFF: no limit) and reads the exit code (259 while it still runs).
    virtual WaitOutcome Wait(uint32_t timeout_ms, uint32_t* exit_code, uint32_t* error) = 0;
};

struct StartResult {
    enum class Failure { kNone, kPipe, kImpersonate, kCreate };
    Failure failure = Failure::kNone;
    uint32_t error = 0;
    std::unique_ptr<StartedProcess> process;
};

class ExecPlatform {
public:
    virtual ~ExecPlatform() = default;

    // Windows 95 mode (the toolhelp and process-flag functions in KERNEL32).
    virtual bool Win95Mode() = 0;
    // Waits for the execution mutex at most ms; the answer holds it when the wait got it (a
    // wait that ended abandoned also owns it) and is null after a time-out or a failed wait.
    virtual std::unique_ptr<ExecutionLock> HoldExecutionMutex(uint32_t ms) = 0;
    // The messaging library's ordinal 38: nonzero marks the request as anonymous.
    virtual int AnonymousRequest() = 0;
    // HKLM "SOFTWARE\Orvane\Kestrane\CurrentVersion" value "RestrictAnonCmdExec" (4 bytes);
    // false when the key or the value cannot be read.
    virtual bool RestrictAnonCmdExec(uint32_t* value) = 0;
    virtual VariableSource& Variables() = 0;

    // LogonUserA(user, no domain, password, interactive, default provider).
    virtual std::unique_ptr<LogonToken> LogOn(const std::string& user, const std::string& password,
                                              uint32_t* error) = 0;
    // "winsta0" for READ_CONTROL | WRITE_DAC.
    virtual std::unique_ptr<UserObject> OpenInteractiveStation(uint32_t* error) = 0;
    // SetProcessWindowStation to a station of OpenInteractiveStation, until the answer goes
    // (which must go before the station does).
    virtual std::unique_ptr<StationSwitch> UseStation(UserObject& station, uint32_t* error) = 0;
    // "default" of the process's window station, for READ_CONTROL | WRITE_DAC |
    // DESKTOP_WRITEOBJECTS | DESKTOP_READOBJECTS.
    virtual std::unique_ptr<UserObject> OpenDefaultDesktop(uint32_t* error) = 0;
    // The token's user SID, as bytes.
    virtual bool TokenUserSid(const LogonToken& token, std::string* sid, uint32_t* error) = 0;

    // Pipe and "nul" (with capture), impersonation (a failure ends it: kImpersonate), working
    // directory (changed as the identity that runs the command), process creation with only
    // the child's ends to inherit, and back; the agent's copies of the child's ends are closed
    // before it answers.
    virtual StartResult Start(const StartSpec& spec) = 0;
    // OemToCharBuffA in place.
    virtual void ConvertOemToAnsi(uint8_t* text, size_t size) = 0;
    // The most output bytes a reply keeps (what one message can carry).
    virtual size_t OutputLimit() { return kMaxOutputBytes; }
    // How the ANSI code page makes characters of bytes (GetACP, GetCPInfo).
    virtual CharacterLayout AnsiLayout() { return {}; }
    // The budget that every capture of the process reserves from.
    virtual CaptureBudget& OutputBudget() { return ProcessCaptureBudget(); }
};

} // namespace pm::exec
