// Portable: the flow of one execution. Every trace line goes to the program's trace log; the
// password never appears in one.
#include "procman/w32/exec/exec_process.h"

#include <cstring>
#include <string>

#include "procman/w32/exec/ace_grants.h"
#include "shared/base/secure_wipe.h"
#include "shared/crypto/password_cipher.h"
#include "shared/node/trace_log.h"
#include "shared/text/kavucd32_abi.h"
#include "shared/text/text_platform.h"
#include "shared/text/text_string.h"

namespace pm::exec {
namespace {

constexpr size_t kPasswordParam = 3;

// A text parameter as bytes up to its terminator (or its end).
std::string TextParam(const Command& c, size_t i) {
    const uint8_t* p = c.GetParam(i);
    if (!p) return {};
    const char* s = reinterpret_cast<const char*>(p);
    return std::string(s, strnlen(s, c.GetParamSize(i)));
}

std::string ToAnsi(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.FromCompressedUnicode();
    return s.CStr();
}

// A password in compressed unicode to the local code page, with no copy left unwiped (the
// conversion goes straight into a wiping buffer). Empty when it cannot be converted.
SecretString SecretToAnsi(const SecretString& compressed) {
    TextPlatform& text = CurrentTextPlatform();
    const int size = text.Convert(kavucd::kCompressedToAnsi, compressed.c_str(), nullptr, 0,
                                  kavucd::kCompressedUnicodeCodePage, 0);
    if (size <= 0) return {};
    SecretString ansi(size_t(size), '\0');
    if (text.Convert(kavucd::kCompressedToAnsi, compressed.c_str(), &ansi[0], size,
                     kavucd::kCompressedUnicodeCodePage, 0) <= 0)
        return {};
    ansi.resize(strnlen(ansi.c_str(), ansi.size()));
    return ansi;
}

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v), p[1] = uint8_t(v >> 8), p[2] = uint8_t(v >> 16), p[3] = uint8_t(v >> 24);
}

class Execution {
public:
    Execution(Command* command, ExecPlatform& platform, const ReplySender& reply,
              ExecutionTracker* tracker)
        : command_(command), platform_(platform), reply_(reply), tracker_(tracker) {}
    ~Execution() { delete command_; } // only when it ended without a reply

    uint32_t Run();
    // After a throw: the failure reply with error 8 when the command is still here.
    uint32_t Failed() noexcept;

private:
    // The command line as traced: control characters escaped.
    const char* Cmd() const { return cmd_trace_.c_str(); }
    // Failure reply: (error, empty item), status; the mutex is released after sending.
    uint32_t Refuse(int32_t status, uint32_t error);
    void Send();
    // Runs a wait that may last, marked for the tracker; false: the agent is stopping and the
    // execution has been ended (no reply, nothing traced).
    template <typename Wait> bool Waited(Wait wait);
    bool LogOnAsUser(std::unique_ptr<LogonToken>* token);
    bool Grant(UserObject& object, const std::string& sid, bool window_station, uint32_t* error);
    uint32_t Finish(std::unique_ptr<StartedProcess> process, uint32_t flags, uint32_t timeout);

    Command* command_;
    ExecPlatform& platform_;
    const ReplySender& reply_;
    ExecutionTracker* tracker_;
    std::unique_ptr<ExecutionLock> lock_;
    std::string cmd_line_;
    std::string cmd_trace_;
    std::string user_;
    SecretString password_; // parameter 3 as received; the command's copy is wiped at once
};

template <typename Wait> bool Execution::Waited(Wait wait) {
    if (tracker_) tracker_->BeginWait();
    wait();
    if (!tracker_ || tracker_->EndWait()) return true;
    delete command_; // nobody is left to take the reply
    command_ = nullptr;
    lock_.reset();
    return false;
}

uint32_t Execution::Failed() noexcept {
    try {
        if (command_) {
            Trace("!!ExecProcess(szCmdLine=%s): out of memory, answering the failure\n", Cmd());
            command_->ClearResults();
            Refuse(kExecFailed, kErrorNotEnoughMemory);
        }
    } catch (...) {
        // The reply itself threw: whoever holds the command now, it is not sent twice.
        command_ = nullptr;
    }
    lock_.reset();
    return 0;
}

void Execution::Send() {
    Command* c = command_;
    command_ = nullptr;
    if (reply_(c)) return;
    // Too large to pack (a huge output): the failure reply instead, and never silence.
    Trace("!!ExecProcess(szCmdLine=%s): reply cannot be sent, answering the failure instead\n",
          Cmd());
    c->ClearResults();
    uint32_t error = kErrorNotEnoughMemory;
    c->AddResult(&error, 4);
    c->AddResult(nullptr, 0);
    c->status = kExecFailed;
    if (!reply_(c)) delete c;
}

uint32_t Execution::Refuse(int32_t status, uint32_t error) {
    uint8_t bytes[4];
    PutLe32(bytes, error);
    command_->AddResult(bytes, 4);
    command_->AddResult(nullptr, 0);
    command_->status = status;
    Send();
    lock_.reset();
    return 0;
}

bool Execution::Grant(UserObject& object, const std::string& sid, bool window_station,
                      uint32_t* error) {
    std::vector<uint8_t> dacl;
    DaclKind kind = DaclKind::kAbsent;
    if (!object.ReadDacl(&dacl, &kind, error)) return false;
    if (kind == DaclKind::kNull) return true; // grants everyone every access already
    const uint8_t* acl = kind == DaclKind::kPresent ? dacl.data() : nullptr;
    AclGrant grant = window_station ? GrantWindowStation(acl, dacl.size(), sid)
                                    : GrantDesktop(acl, dacl.size(), sid);
    if (grant.outcome == AclGrant::Outcome::kUnchanged) return true;
    if (grant.outcome == AclGrant::Outcome::kMalformed) {
        *error = 1336; // ERROR_INVALID_ACL
        return false;
    }
    return object.WriteDacl(grant.acl, error);
}

bool Execution::LogOnAsUser(std::unique_ptr<LogonToken>* token) {
    const uint32_t flags = [&] {
        uint32_t f = 0;
        command_->ParamU32(1, &f);
        return f;
    }();
    user_ = TraceEscape(ToAnsi(TextParam(*command_, 2)));
    const std::string user_name = ToAnsi(TextParam(*command_, 2));
    const char* user = user_.c_str();
    Trace("--ExecProcess(szCmdLine=%s): Executing as userid=%s\n", Cmd(), user);
    SecretString compressed;
    if (flags & EXEC_ENCRYPTED_PASSWORD) {
        Trace("--ExecProcess(szCmdLine=%s): [userid=%s] decyrpting password\n", Cmd(), user);
        std::string plain;
        bool ok = DecryptPassword(reinterpret_cast<const uint8_t*>(password_.data()),
                                  password_.size(), &plain);
        compressed.assign(plain.c_str());
        WipeString(plain);
        if (!ok) {
            Trace("!!ExecProcess(szCmdLine=%s): [userid=%s] encrypted password is not whole "
                  "blocks\n",
                  Cmd(), user);
            Refuse(kExecFailed, kErrorInvalidParameter);
            return false;
        }
    } else {
        compressed.assign(password_.c_str()); // up to its terminator
    }
    SecretString password = SecretToAnsi(compressed);
    uint32_t error = 0;
    {
        // The seam takes a std::string: one exact-size copy, wiped before it goes.
        std::string text(password.c_str(), password.size());
        *token = platform_.LogOn(user_name, text, &error);
        WipeString(text);
    }
    if (!*token) {
        Trace("<-ExecProcess(szCmdLine=%s): [userid=%s] Logon User failed, rc=%d\n", Cmd(), user,
              int(error));
        Refuse(kExecFailed, error);
        return false;
    }
    std::unique_ptr<UserObject> station = platform_.OpenInteractiveStation(&error);
    if (!station) {
        Trace("!!ExecProcess(szCmdLine=%s): [userid=%s] system call getting windowstation handle "
              "failed with code=%lu\n",
              Cmd(), user, static_cast<unsigned long>(error));
        Refuse(kExecFailed, error);
        return false;
    }
    std::unique_ptr<UserObject> desktop;
    {
        // The desktop is opened on winsta0; the agent goes back to its own station then, so
        // that the one opened here can be closed when the run is over.
        std::unique_ptr<StationSwitch> on_station = platform_.UseStation(*station, &error);
        if (!on_station) {
            Trace("!!ExecProcess(szCmdLine=%s): [userid=%s] system call getting windowstation "
                  "handle failed with code=%lu\n",
                  Cmd(), user, static_cast<unsigned long>(error));
            Refuse(kExecFailed, error);
            return false;
        }
        desktop = platform_.OpenDefaultDesktop(&error);
    }
    if (!desktop) {
        Trace("!!ExecProcess(szCmdLine=%s): [userid=%s] system call getting default desktop "
              "failed with code=%lu\n",
              Cmd(), user, static_cast<unsigned long>(error));
        Refuse(kExecFailed, error);
        return false;
    }
    std::string sid;
    if (!platform_.TokenUserSid(**token, &sid, &error)) {
        Trace("!!ExecProcess(szCmdLine=%s): [userid=%s] system call getting user security id "
              "failed with code=%lu\n",
              Cmd(), user, static_cast<unsigned long>(error));
        Refuse(kExecFailed, error);
        return false;
    }
    if (!Grant(*station, sid, true, &error)) {
        Trace("!!ExecProcess(szCmdLine=%s): [userid=%s] system call adding user to interactive "
              "windowstation failed with code=%lu\n",
              Cmd(), user, static_cast<unsigned long>(error));
        Refuse(kExecFailed, error);
        return false;
    }
    if (!Grant(*desktop, sid, false, &error)) {
        Trace("!!ExecProcess(szCmdLine=%s): [userid=%s] system call adding user to default "
              "desktop failed with code=%lu\n",
              Cmd(), user, static_cast<unsigned long>(error));
        Refuse(kExecFailed, error);
        return false;
    }
    return true;
}

uint32_t Execution::Run() {
    uint32_t flags = 0;
    command_->ParamU32(1, &flags);
    std::string raw_line = TextParam(*command_, 0);
    if (const uint8_t* p = command_->GetParam(kPasswordParam)) {
        // The command is the owner of its parameter blocks: its copy goes at once.
        const size_t size = command_->GetParamSize(kPasswordParam);
        password_.assign(reinterpret_cast<const char*>(p), size);
        SecureWipe(const_cast<uint8_t*>(p), size);
    }
    if (!Waited([&] { lock_ = platform_.HoldExecutionMutex(kExecutionMutexWaitMs); })) return 0;

    const uint16_t backslash = LocalBackslashUnit();
    cmd_line_ = ToAnsi(FixBackslashes(raw_line, backslash));
    cmd_trace_ = TraceEscape(cmd_line_);
    Trace("->ExecProcess(szCmdLine=%s)\n", Cmd());
    if (!lock_) {
        // Running without it could change the current directory or the window station under
        // another execution.
        Trace("!!ExecProcess(szCmdLine=%s): execution mutex not obtained, busy\n", Cmd());
        return Refuse(kExecFailed, kErrorBusy);
    }

    std::string final_line;
    switch (ExpandVariables(cmd_line_, platform_.Variables(), &final_line)) {
    case Expansion::kExpanded:
        break;
    case Expansion::kUnclosed:
        final_line = cmd_line_;
        break;
    case Expansion::kTooLong:
        Trace("!!ExecProcess(szCmdLine=%s): expanded command line too long\n", Cmd());
        return Refuse(kExecFailed, kErrorBufferOverflow);
    }
    Trace("--ExecProcess(): expanded command line: szFinalCmdLine=%s\n",
          TraceEscape(final_line).c_str());

    if (command_->GetParamCount() < 6) {
        Trace("!!ExecProcess: Too few input parameters in Command\n");
        return Refuse(kExecFailed, 0);
    }

    // The anonymous rule judges what will run: in Windows 95 mode a request to run as a user
    // runs as the agent, so it is judged as one without EXEC_AS_USER.
    if (platform_.Win95Mode()) flags &= ~EXEC_AS_USER;
    if (platform_.AnonymousRequest() != 0 && !(flags & EXEC_AS_USER)) {
        Trace("--ExecProcess(szCmdLine=%s): anoymous execution\n", Cmd());
        uint32_t restricted = 0;
        if (platform_.RestrictAnonCmdExec(&restricted) && restricted != 0) {
            Trace("<-ExecProcess(szCmdLine=%s): anonymous execution disabled\n", Cmd());
            return Refuse(kExecAnonymousRefused, 0);
        }
    }

    uint32_t seconds = 0;
    command_->ParamU32(4, &seconds);
    uint32_t timeout = seconds == 0                  ? kInfinite
                       : seconds >= kInfinite / 1000 ? kInfinite - 1
                                                     : seconds * 1000;

    StartSpec spec;
    spec.command_line = final_line;
    spec.working_directory = ToAnsi(FixBackslashes(TextParam(*command_, 5), backslash));
    if (command_->GetParamCount() >= 7 && (flags & EXEC_ENVIRONMENT)) {
        const uint8_t* env = command_->GetParam(6);
        uint32_t size = command_->GetParamSize(6);
        // The block must end with its empty string, or process creation would read past it.
        bool whole = size >= 5 && env[size - 1] == 0 && (size == 5 || env[size - 2] == 0);
        if (!whole) {
            Trace("!!ExecProcess(szCmdLine=%s): environment block not terminated\n", Cmd());
            return Refuse(kExecFailed, kErrorInvalidParameter);
        }
        spec.environment = env + 4;
        spec.environment_size = size - 4;
    }

    std::unique_ptr<LogonToken> token;
    if ((flags & EXEC_AS_USER) && !LogOnAsUser(&token)) return 0;

    spec.capture = (flags & EXEC_CAPTURE_OUTPUT) != 0;
    if (spec.capture) Trace("--ExecProcess(szCmdLine=%s): Set up output caputure\n", Cmd());
    if (!spec.working_directory.empty())
        Trace("--ExecProcess(): szCmdLine=%s, szCWD=%s, change working directory\n", Cmd(),
              TraceEscape(spec.working_directory).c_str());
    spec.no_window = (flags & EXEC_NO_WINDOW) != 0;
    if (spec.no_window) Trace("--ExecProcess(): found EXEC_NO_WINDOW flag\n");
    spec.token = token.get();
    spec.variant = (token ? 3 : 1) + (spec.environment ? 1 : 0);

    StartResult started = platform_.Start(spec);
    if (started.failure == StartResult::Failure::kPipe) {
        Trace("!!ExecProcess(szCmdLine=%s): [setup output capture] system call to create pipe "
              "failed with code=%lu\n",
              Cmd(), static_cast<unsigned long>(started.error));
        return Refuse(kExecFailed, started.error);
    }
    if (started.failure == StartResult::Failure::kImpersonate) {
        Trace("!!ExecProcess(szCmdLine=%s): [userid=%s] impersonation failed with code=%lu\n",
              Cmd(), user_.c_str(), static_cast<unsigned long>(started.error));
        return Refuse(kExecFailed, started.error);
    }
    if (!spec.working_directory.empty()) Trace("--ExecProcess(): Changed working directory\n");
    bool created = started.failure == StartResult::Failure::kNone && started.process;
    Trace("--ExecProcess(): CreateProcess(%d) returned rc=%d\n", spec.variant, created ? 1 : 0);
    token.reset(); // the process has its own copy
    if (!created) {
        int32_t status = CreationFailureStatus(started.error);
        switch (status) {
        case kExecNotFound:
            Trace("<-ExecProcess(szCmdLine=%s): Executable File Not Found\n", Cmd());
            break;
        case kExecTooManyFiles:
            Trace("<-ExecProcess(szCmdLine=%s): Too many files open\n", Cmd());
            break;
        case kExecAccessDenied:
            Trace("<-ExecProcess(szCmdLine=%s): Access denied\n", Cmd());
            break;
        case kExecOutOfMemory:
            Trace("<-ExecProcess(szCmdLine=%s): Out of memory\n", Cmd());
            break;
        case kExecBadFormat:
            Trace("<-ExecProcess(szCmdLine=%s): Bad format for executable\n", Cmd());
            break;
        case kExecSharingViolation:
            Trace("<-ExecProcess(szCmdLine=%s): Sharing violation\n", Cmd());
            break;
        default:
            Trace("<-ExecProcess(szCmdLine=%s): Unknown Win32 error code=%lu\n", Cmd(),
                  static_cast<unsigned long>(started.error));
            break;
        }
        return Refuse(status, started.error);
    }
    lock_.reset();
    return Finish(std::move(started.process), flags, timeout);
}

uint32_t Execution::Finish(std::unique_ptr<StartedProcess> process, uint32_t flags,
                           uint32_t timeout) {
    uint32_t exit_code = 0;
    int32_t status = kExecOk;
    const bool unicode = (flags & EXEC_UNICODE_OUTPUT) != 0;
    // What the capture holds of the process's budget; all of it goes back when the execution
    // ends, on every path (the reply has been sent, or dropped, by then).
    BudgetShare share(&platform_.OutputBudget());
    OutputBuffer buffer(platform_.OutputLimit(), &share);
    MallocBlock output; // the plain output, taken from the buffer
    size_t output_bytes = 0;
    bool cut = false;
    if (flags & (EXEC_WAIT | EXEC_CAPTURE_OUTPUT)) {
        Trace("->ExecProcess(szCmdLine=%s): [wait for finish] wait for process to finish\n", Cmd());
        if (flags & EXEC_CAPTURE_OUTPUT) {
            Trace("--ExecProcess(szCmdLine=%s) [wait for finish]: reading output buffer\n", Cmd());
            size_t wanted = 0;
            const bool win95 = platform_.Win95Mode();
            // Nothing shared is touched while the child runs: peek failures are traced after.
            uint32_t peek_failures = 0, peek_error = 0;
            ReadOutcome read = ReadOutcome::kEnded;
            if (!Waited([&] {
                    read = ReadOutput(process->Output(), win95, buffer, &wanted,
                                      [&](uint32_t error) { ++peek_failures, peek_error = error; });
                }))
                return 0;
            if (peek_failures)
                Trace("!!ExecProcess(szCmdLine=%s): [wait for finish, read output buffer] system "
                      "call to access pipe failed with code %lu (%lu times)\n",
                      Cmd(), static_cast<unsigned long>(peek_error),
                      static_cast<unsigned long>(peek_failures));
            output_bytes = buffer.Bytes();
            cut = buffer.Cut();
            // Compressed unicode is made from the buffer itself, in pieces, after the wait.
            if (read == ReadOutcome::kEnded && output_bytes && !unicode) {
                output.reset(buffer.Take());
                if (!output) wanted = output_bytes + 1;
            }
            if (read == ReadOutcome::kNoMemory || (output_bytes && !unicode && !output)) {
                Trace("!!ExecProcess(szCmdLine=%s): [wait for finish, read output buffer] cannot "
                      "allocate byte array of size=%lu\n",
                      Cmd(), static_cast<unsigned long>(wanted));
                process.reset();
                return Refuse(kExecFailed, kErrorNotEnoughMemory) + 1;
            }
        }
        uint32_t error = 0;
        WaitOutcome waited = WaitOutcome::kFailed;
        if (!Waited([&] { waited = process->Wait(timeout, &exit_code, &error); })) return 0;
        switch (waited) {
        case WaitOutcome::kEnded:
            Trace("<-ExecProcess(szCmdLine=%s): [wait for finish]\n", Cmd());
            break;
        case WaitOutcome::kTimedOut:
            status = kExecTimedOut;
            Trace("--ExecProcess(szCmdLine=%s): [wait for finish] Execution timed out\n", Cmd());
            break;
        case WaitOutcome::kFailed:
            Trace("!!ExecProcess(szCmdLine=%s): [wait for finish] wait failed with code=%lu\n",
                  Cmd(), static_cast<unsigned long>(error));
            process.reset();
            return Refuse(kExecFailed, error) + 1;
        }
    }
    process.reset();

    if (output_bytes) {
        // The output itself never goes to the trace log: it may hold anything.
        Trace("--ExecProcess(szCmdLine=%s): return output of %lu bytes\n", Cmd(),
              static_cast<unsigned long>(output_bytes));
        if (unicode)
            Trace("--ExecProcess(szCmdLine=%s): [return output] use compressed unicode\n", Cmd());
    }
    auto oem_to_ansi = [this](uint8_t* text, size_t size) {
        platform_.ConvertOemToAnsi(text, size);
    };
    OutputItem item = unicode
                          ? EncodeCompressed(buffer, platform_.OutputLimit(), share,
                                             platform_.AnsiLayout(), oem_to_ansi,
                                             [](const char* ansi, char* dst, int dst_size) {
                                                 return CurrentTextPlatform().Convert(
                                                     kavucd::kAnsiToCompressed, ansi, dst, dst_size,
                                                     kavucd::kCompressedUnicodeCodePage, 0);
                                             })
                          : EncodeOutput(std::move(output), output_bytes, cut, oem_to_ansi);
    if (output_bytes && !item.data) {
        Trace("!!ExecProcess(szCmdLine=%s): [return output] cannot allocate the output item\n",
              Cmd());
        return Refuse(kExecFailed, kErrorNotEnoughMemory) + 1;
    }
    uint8_t code[4];
    PutLe32(code, exit_code);
    command_->AddResult(code, 4);
    if (item.data)
        command_->AddResultTakeOver(item.data.release(), static_cast<uint32_t>(item.size));
    else
        command_->AddResult(nullptr, 0);
    const uint8_t encoding[4] = {uint8_t(item.encoding), 0, 0, 0};
    command_->AddResult(encoding, 4);
    if (item.cut) {
        Trace("--ExecProcess(szCmdLine=%s): output cut at %lu bytes\n", Cmd(),
              static_cast<unsigned long>(item.kept));
        uint8_t kept[4];
        PutLe32(kept, static_cast<uint32_t>(item.kept));
        command_->AddResult(kept, 4);
    }
    command_->status = status;
    Send();
    Trace("<-ExecProcess(szCmdLine=%s)\n", Cmd());
    return 1;
}

} // namespace

int32_t CreationFailureStatus(uint32_t error) {
    switch (error) {
    case 2:
        return kExecNotFound;
    case 4:
        return kExecTooManyFiles;
    case 5:
        return kExecAccessDenied;
    case 8:
    case 14:
        return kExecOutOfMemory;
    case 11:
        return kExecBadFormat;
    case 32:
        return kExecSharingViolation;
    default:
        return kExecUnknownError;
    }
}

uint32_t ExecProcess(Command* command, ExecPlatform& platform, const ReplySender& reply,
                     ExecutionTracker* tracker) {
    Execution execution(command, platform, reply, tracker);
    try {
        return execution.Run();
    } catch (...) {
        return execution.Failed();
    }
}

bool StartExecution(Command* command, ExecutionTracker& tracker,
                    const std::function<bool(Command*)>& start_thread) {
    if (!tracker.TryStart()) {
        Trace("!!ExecuteCommand: too many executions running, or stopping: busy\n");
        command->flags &= ~Command::kFlagDeferredReply;
        command->ClearResults();
        uint8_t error[4];
        PutLe32(error, kErrorBusy);
        command->AddResult(error, 4);
        command->AddResult(nullptr, 0);
        command->status = kExecFailed;
        return true;
    }
    if (start_thread(command)) return true;
    tracker.Finish();
    return false;
}

} // namespace pm::exec
