// A scripted ExecPlatform: variables from maps, each step's outcome set by the test, the
// started process's output as chunks, and counts of what is held, so that tests see every
// handle released. Also the requests and replies of Execute Command as the node carries them.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <new>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "shared/node/command.h"
#include "procman/w32/exec/exec_platform.h"
#include "shared/text/text_string.h"

namespace pm::exec::test {

inline std::string Le32(uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// ANSI text to compressed unicode, with its terminator.
inline std::string Cu(const std::string& ansi) {
    TextString s(ansi.c_str());
    s.ToCompressedUnicode();
    return std::string(s.CStr()) + '\0';
}

class MapVariables final : public VariableSource {
public:
    std::map<std::string, std::string> environment;
    std::map<std::string, std::pair<std::string, bool>> registry; // value, REG_EXPAND_SZ
    std::map<std::string, std::string> expansions;                // %-text to its expansion
    bool EnvironmentValue(const std::string& name, std::string* value) override {
        return Find(environment, name, value);
    }
    bool RegistryValue(const std::string& name, std::string* value, bool* expandable) override {
        std::pair<std::string, bool> found;
        if (!Find(registry, name, &found)) return false;
        std::tie(*value, *expandable) = found;
        return true;
    }
    bool ExpandReferences(const std::string& text, std::string* out) override {
        return Find(expansions, text, out);
    }

private:
    template <class Map, class Value>
    static bool Find(const Map& m, const std::string& key, Value* out) {
        auto it = m.find(key);
        return it != m.end() && (*out = it->second, true);
    }
};

// Counts itself in `n` for as long as it lives.
template <class Base> class Counted : public Base {
public:
    explicit Counted(int& n) : n_(n) { ++n_; }
    ~Counted() override { --n_; }

private:
    int& n_;
};

struct Held {
    int mutex = 0, tokens = 0, objects = 0, processes = 0, switches = 0;
    // Stations closed while the process still used them: the system refuses that close, and
    // the handle stays open for good.
    int stuck_stations = 0;
    int Total() const { return mutex + tokens + objects + processes + switches + stuck_stations; }
};

// A window station or desktop: its DACL and how often it was written.
struct ObjectScript {
    std::vector<uint8_t> dacl;
    DaclKind kind = DaclKind::kPresent;
    int writes = 0;
};

class FakeObject final : public Counted<UserObject> {
public:
    FakeObject(Held& held, int& n, ObjectScript& s, uint32_t read_error, uint32_t write_error)
        : Counted(n), held_(held), s_(s), read_error_(read_error), write_error_(write_error) {}
    ~FakeObject() override {
        if (in_use) ++held_.stuck_stations;
    }
    bool ReadDacl(std::vector<uint8_t>* dacl, DaclKind* kind, uint32_t* error) override {
        if (read_error_) return *error = read_error_, false;
        return *dacl = s_.dacl, *kind = s_.kind, true;
    }
    bool WriteDacl(const std::vector<uint8_t>& acl, uint32_t* error) override {
        if (write_error_) return *error = write_error_, false;
        return s_.dacl = acl, ++s_.writes, true;
    }

    bool in_use = false; // the process's window station

private:
    Held& held_;
    ObjectScript& s_;
    uint32_t read_error_, write_error_;
};

// The process on a station until it goes.
class FakeSwitch final : public Counted<StationSwitch> {
public:
    FakeSwitch(int& n, FakeObject& station) : Counted(n), station_(station) {
        station_.in_use = true;
    }
    ~FakeSwitch() override { station_.in_use = false; }

private:
    FakeObject& station_;
};

// A pipe whose waiting bytes are the front chunk; the process is seen ended from wait number
// `ends_at_wait` on (Windows 95 mode). A read larger than what is waiting would block there.
class ScriptedPipe : public CaptureSource {
public:
    std::deque<std::string> chunks;
    int ends_at_wait = 0;
    uint32_t peek_error = 0; // the first peek fails with it
    std::vector<uint32_t> waits;
    int reads_beyond_waiting = 0; // while the process runs (a blocking read)
    bool ended = false;

    bool WaitProcess(uint32_t ms) override {
        waits.push_back(ms);
        return ended = int(waits.size()) >= ends_at_wait;
    }
    bool BytesWaiting(uint32_t* count, uint32_t* error) override {
        if (peek_error) return *error = std::exchange(peek_error, 0), false;
        return *count = Front(), true;
    }
    bool Read(uint8_t* chunk, uint32_t size, uint32_t* got) override {
        if (chunks.empty()) return false; // every write end closed
        if (!waits.empty() && !ended && size > Front()) ++reads_beyond_waiting;
        *got = std::min(size, Front());
        std::memcpy(chunk, chunks.front().data() + at_, *got);
        at_ += *got;
        if (at_ == chunks.front().size()) chunks.pop_front(), at_ = 0;
        return true;
    }

private:
    uint32_t Front() const { return chunks.empty() ? 0 : uint32_t(chunks.front().size() - at_); }
    size_t at_ = 0; // read of the front chunk
};

class FakeExecPlatform final : public ExecPlatform {
public:
    // Script.
    bool win95 = false, mutex_free = true;
    int anonymous = 0;
    bool restrict_readable = false;
    uint32_t restrict_value = 0, start_error = 0, exit_code = 0;
    MapVariables variables;
    // The error of each step that fails: "logon", "sid", "station", "desktop", and "station
    // read", "station write", "desktop read", "desktop write" for their DACLs.
    std::map<std::string, uint32_t> fail;
    std::string sid = std::string("\x01\x01\0\0\0\0\0\x05\x15\0\0\0", 12);
    ObjectScript station, desktop;
    StartResult::Failure start_failure = StartResult::Failure::kNone;
    std::deque<std::string> output;
    WaitOutcome wait = WaitOutcome::kEnded;
    size_t output_limit = kMaxOutputBytes;
    std::unique_ptr<CaptureBudget> budget = std::make_unique<CaptureBudget>(kCaptureBudgetBytes);
    CharacterLayout layout;
    bool throw_at_start = false, throw_at_wait = false; // std::bad_alloc there
    std::function<void()> on_wait;                      // runs inside the process wait

    // Seen.
    Held held;
    std::vector<StartSpec> starts;
    std::vector<std::string> logons; // user names
    std::string last_password;
    int mutex_at_start = -1, tokens_at_start = -1;
    uint32_t waited_for_mutex = 0, waited_for_process = 0;

    bool Win95Mode() override { return win95; }
    std::unique_ptr<ExecutionLock> HoldExecutionMutex(uint32_t ms) override {
        waited_for_mutex = ms;
        return mutex_free ? std::make_unique<Counted<ExecutionLock>>(held.mutex) : nullptr;
    }
    int AnonymousRequest() override { return anonymous; }
    bool RestrictAnonCmdExec(uint32_t* value) override {
        return *value = restrict_value, restrict_readable;
    }
    VariableSource& Variables() override { return variables; }
    std::unique_ptr<LogonToken> LogOn(const std::string& user, const std::string& password,
                                      uint32_t* error) override {
        logons.push_back(user), last_password = password;
        if (uint32_t e = Fails("logon")) return *error = e, nullptr;
        return std::make_unique<Counted<LogonToken>>(held.tokens);
    }
    std::unique_ptr<UserObject> OpenInteractiveStation(uint32_t* error) override {
        return Open(station, "station", error);
    }
    std::unique_ptr<StationSwitch> UseStation(UserObject& object, uint32_t* error) override {
        if (uint32_t e = Fails("use station")) return *error = e, nullptr;
        return std::make_unique<FakeSwitch>(held.switches, static_cast<FakeObject&>(object));
    }
    std::unique_ptr<UserObject> OpenDefaultDesktop(uint32_t* error) override {
        return Open(desktop, "desktop", error);
    }
    bool TokenUserSid(const LogonToken&, std::string* out, uint32_t* error) override {
        if (uint32_t e = Fails("sid")) return *error = e, false;
        return *out = sid, true;
    }
    StartResult Start(const StartSpec& spec) override;
    size_t OutputLimit() override { return output_limit; }
    CaptureBudget& OutputBudget() override { return *budget; }
    CharacterLayout AnsiLayout() override { return layout; }
    void ConvertOemToAnsi(uint8_t* text, size_t size) override {
        for (size_t i = 0; i < size; ++i)
            if (text[i] == 0x81) text[i] = 0xFC; // OEM 437 u-umlaut to ANSI 1252
    }

private:
    uint32_t Fails(const std::string& step) const {
        auto it = fail.find(step);
        return it == fail.end() ? 0 : it->second;
    }
    std::unique_ptr<UserObject> Open(ObjectScript& s, const std::string& name, uint32_t* error) {
        if (uint32_t e = Fails(name)) return *error = e, nullptr;
        return std::make_unique<FakeObject>(held, held.objects, s, Fails(name + " read"),
                                            Fails(name + " write"));
    }
};

// The started process: the platform's output, wait outcome and exit code.
class FakeStarted final : public Counted<StartedProcess> {
public:
    explicit FakeStarted(FakeExecPlatform& p) : Counted(p.held.processes), p_(p) {
        pipe_.chunks = p.output;
    }
    CaptureSource& Output() override { return pipe_; }
    WaitOutcome Wait(uint32_t timeout_ms, uint32_t* exit_code, uint32_t* error) override {
        if (p_.throw_at_wait) throw std::bad_alloc();
        if (p_.on_wait) p_.on_wait();
        p_.waited_for_process = timeout_ms, *error = 6;
        *exit_code = p_.wait == WaitOutcome::kTimedOut ? 259 : p_.exit_code;
        return p_.wait;
    }

private:
    FakeExecPlatform& p_;
    ScriptedPipe pipe_;
};

inline StartResult FakeExecPlatform::Start(const StartSpec& spec) {
    if (throw_at_start) throw std::bad_alloc();
    starts.push_back(spec);
    mutex_at_start = held.mutex, tokens_at_start = held.tokens;
    StartResult r;
    r.failure = start_failure, r.error = start_error;
    if (start_failure == StartResult::Failure::kNone)
        r.process = std::make_unique<FakeStarted>(*this);
    return r;
}

// One request as the console sends it.
struct Request {
    std::string line = "cmd /c echo hi";
    uint32_t flags = 0;
    std::string user, password; // password as sent (compressed unicode, or ciphertext)
    uint32_t timeout_s = 0;
    std::string cwd, env; // env: after the 4-byte prefix
    int params = 6;       // how many of the parameters to send

    Command* Build() const {
        auto* c = new Command(0x73124535);
        c->flags = Command::kFlagDeferredReply;
        // clang-format off
        const std::string p[] = {Cu(line), Le32(flags), Cu(user), password, Le32(timeout_s),
                                 Cu(cwd), std::string("\0\0\0\0", 4) + env};
        // clang-format on
        for (int i = 0; i < params && i < 7; ++i)
            c->AddParam(p[i].data(), uint32_t(p[i].size()));
        return c;
    }
};

struct Reply {
    int32_t status = 0;
    std::vector<std::string> items;
};

// Collects the replies sent; the command is deleted as the node would.
struct Replies {
    std::vector<Reply> sent;
    bool refuse_first = false; // the first reply cannot be packed (too large)
    int password_left = 0;     // replies whose command still held a password byte
    bool Send(Command* c) {
        if (std::exchange(refuse_first, false)) return false;
        for (uint32_t i = 0; c->GetParam(3) && i < c->GetParamSize(3); ++i)
            if (c->GetParam(3)[i] != 0) ++password_left;
        Reply r{c->status, {}};
        for (size_t i = 0; i < c->GetResultCount(); ++i)
            r.items.emplace_back(reinterpret_cast<const char*>(c->GetResult(i)),
                                 c->GetResultSize(i));
        sent.push_back(r);
        delete c;
        return true;
    }
};

} // namespace pm::exec::test
