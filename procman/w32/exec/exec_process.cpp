// Portable: the flow of one execution. Every trace line goes to the program's trace log; the
// password never appears in one.
#include "procman/w32/exec/exec_process.h"

#include <cstring>
#include <string>

#include "procman/w32/exec/ace_grants.h"
#include "shared/crypto/password_cipher.h"
#include "shared/node/trace_log.h"
#include "shared/text/text_string.h"

namespace pm::exec {
namespace {

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

// The password text, wiped when it goes.
struct Secret {
    std::string text;
    ~Secret() { WipeString(text); }
};

class Execution {
public:
    Execution(Command* command, ExecPlatform& platform, const ReplySender& reply)
        : command_(command), platform_(platform), reply_(reply) {}

    uint32_t Run();

private:
    const char* Cmd() const { return cmd_line_.c_str(); }
    // Failure reply: (error, empty item), status; the mutex is released after sending.
    uint32_t Refuse(int32_t status, uint32_t error);
    void Send();
    bool LogOnAsUser(std::unique_ptr<LogonToken>* token);
    bool Grant(UserObject& object, const std::string& sid, bool window_station, uint32_t* error);
    uint32_t Finish(std::unique_ptr<StartedProcess> process, uint32_t flags, uint32_t timeout);

    Command* command_;
    ExecPlatform& platform_;
    const ReplySender& reply_;
    std::unique_ptr<ExecutionLock> lock_;
    std::string cmd_line_;
    std::string user_;
};

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
    const uint8_t bytes[4] = {uint8_t(error), uint8_t(error >> 8), uint8_t(error >> 16),
                              uint8_t(error >> 24)};
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
    bool present = false;
    if (!object.ReadDacl(&dacl, &present, error)) return false;
    const uint8_t* acl = present ? dacl.data() : nullptr;
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
    user_ = ToAnsi(TextParam(*command_, 2));
    const char* user = user_.c_str();
    Trace("--ExecProcess(szCmdLine=%s): Executing as userid=%s\n", Cmd(), user);
    Secret password;
    if (flags & EXEC_ENCRYPTED_PASSWORD) {
        Trace("--ExecProcess(szCmdLine=%s): [userid=%s] decyrpting password\n", Cmd(), user);
        Secret compressed;
        if (!DecryptPassword(command_->GetParam(3), command_->GetParamSize(3), &compressed.text)) {
            Trace("!!ExecProcess(szCmdLine=%s): [userid=%s] encrypted password is not whole "
                  "blocks\n",
                  Cmd(), user);
            Refuse(kExecFailed, kErrorInvalidParameter);
            return false;
        }
        TextString s(compressed.text.c_str());
        s.FromCompressedUnicode();
        password.text = s.CStr();
        if (s.Text()) WipeBytes(s.Text(), s.Length());
    } else {
        Secret compressed{TextParam(*command_, 3)};
        TextString s(compressed.text.c_str());
        s.FromCompressedUnicode();
        password.text = s.CStr();
        if (s.Text()) WipeBytes(s.Text(), s.Length());
    }
    uint32_t error = 0;
    *token = platform_.LogOn(user_, password.text, &error);
    WipeString(password.text);
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
    std::unique_ptr<UserObject> desktop = platform_.OpenDefaultDesktop(&error);
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
    lock_ = platform_.HoldExecutionMutex(kExecutionMutexWaitMs);

    const uint16_t backslash = LocalBackslashUnit();
    cmd_line_ = ToAnsi(FixBackslashes(raw_line, backslash));
    Trace("->ExecProcess(szCmdLine=%s)\n", Cmd());

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
    Trace("--ExecProcess(): expanded command line: szFinalCmdLine=%s\n", final_line.c_str());

    if (command_->GetParamCount() < 6) {
        Trace("!!ExecProcess: Too few input parameters in Command\n");
        return Refuse(kExecFailed, 0);
    }

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

    if (platform_.Win95Mode()) flags &= ~EXEC_AS_USER;
    std::unique_ptr<LogonToken> token;
    if ((flags & EXEC_AS_USER) && !LogOnAsUser(&token)) return 0;

    spec.capture = (flags & EXEC_CAPTURE_OUTPUT) != 0;
    if (spec.capture) Trace("--ExecProcess(szCmdLine=%s): Set up output caputure\n", Cmd());
    if (!spec.working_directory.empty())
        Trace("--ExecProcess(): szCmdLine=%s, szCWD=%s, change working directory\n", Cmd(),
              spec.working_directory.c_str());
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
    MallocBlock output;
    size_t output_bytes = 0;
    if (flags & (EXEC_WAIT | EXEC_CAPTURE_OUTPUT)) {
        Trace("->ExecProcess(szCmdLine=%s): [wait for finish] wait for process to finish\n", Cmd());
        if (flags & EXEC_CAPTURE_OUTPUT) {
            Trace("--ExecProcess(szCmdLine=%s) [wait for finish]: reading output buffer\n", Cmd());
            OutputBuffer buffer;
            size_t wanted = 0;
            ReadOutcome read = ReadOutput(process->Output(), platform_.Win95Mode(), buffer, &wanted,
                                          [this](uint32_t error) {
                                              Trace("!!ExecProcess(szCmdLine=%s): [wait for "
                                                    "finish, read output buffer] system call "
                                                    "to access pipe failed with code %lu\n",
                                                    Cmd(), static_cast<unsigned long>(error));
                                          });
            output_bytes = buffer.Bytes();
            if (read == ReadOutcome::kEnded && output_bytes) {
                output.reset(buffer.Take());
                if (!output) wanted = output_bytes + 1;
            }
            if (read == ReadOutcome::kNoMemory || (output_bytes && !output)) {
                Trace("!!ExecProcess(szCmdLine=%s): [wait for finish, read output buffer] cannot "
                      "allocate byte array of size=%lu\n",
                      Cmd(), static_cast<unsigned long>(wanted));
                process.reset();
                return Refuse(kExecFailed, kErrorNotEnoughMemory) + 1;
            }
        }
        uint32_t error = 0;
        switch (process->Wait(timeout, &exit_code, &error)) {
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

    const uint8_t code[4] = {uint8_t(exit_code), uint8_t(exit_code >> 8), uint8_t(exit_code >> 16),
                             uint8_t(exit_code >> 24)};
    bool unicode = (flags & EXEC_UNICODE_OUTPUT) != 0;
    if (output) {
        Trace("--ExecProcess(szCmdLine=%s): return output:\n %s\n", Cmd(),
              reinterpret_cast<const char*>(output.get()));
        if (unicode)
            Trace("--ExecProcess(szCmdLine=%s): [return output] use compressed unicode\n", Cmd());
    }
    OutputItem item = EncodeOutput(
        std::move(output), output_bytes, unicode,
        [this](uint8_t* text, size_t size) { platform_.ConvertOemToAnsi(text, size); },
        [](const char* ansi, std::string* out) {
            TextString s(ansi);
            if (!s.ToCompressedUnicode()) return false;
            *out = s.CStr();
            return true;
        });
    if (output_bytes && !item.data) {
        Trace("!!ExecProcess(szCmdLine=%s): [return output] cannot allocate the output item\n",
              Cmd());
        return Refuse(kExecFailed, kErrorNotEnoughMemory) + 1;
    }
    command_->AddResult(code, 4);
    if (item.data)
        command_->AddResultTakeOver(item.data.release(), static_cast<uint32_t>(item.size));
    else
        command_->AddResult(nullptr, 0);
    const uint8_t encoding[4] = {uint8_t(item.encoding), 0, 0, 0};
    command_->AddResult(encoding, 4);
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

uint32_t ExecProcess(Command* command, ExecPlatform& platform, const ReplySender& reply) {
    Execution execution(command, platform, reply);
    return execution.Run();
}

} // namespace pm::exec
