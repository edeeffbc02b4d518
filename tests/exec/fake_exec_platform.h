// A scripted ExecPlatform: variables from maps, each step's outcome set by the test, the
// started process's output as chunks, and counts of what is held, so that tests see every
// handle released.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "procman/w32/exec/exec_platform.h"

namespace pm::exec::test {

class MapVariables final : public VariableSource {
public:
    std::map<std::string, std::string> environment;
    std::map<std::string, std::pair<std::string, bool>> registry; // value, REG_EXPAND_SZ
    std::map<std::string, std::string> expansions;                // %-text to its expansion
    bool EnvironmentValue(const std::string& name, std::string* value) override {
        auto it = environment.find(name);
        if (it == environment.end()) return false;
        *value = it->second;
        return true;
    }
    bool RegistryValue(const std::string& name, std::string* value, bool* expandable) override {
        auto it = registry.find(name);
        if (it == registry.end()) return false;
        *value = it->second.first;
        *expandable = it->second.second;
        return true;
    }
    bool ExpandReferences(const std::string& text, std::string* out) override {
        auto it = expansions.find(text);
        if (it == expansions.end()) return false;
        *out = it->second;
        return true;
    }
};

struct Held {
    int mutex = 0;
    int tokens = 0;
    int objects = 0;
    int processes = 0;
};

class FakeLock final : public ExecutionLock {
public:
    explicit FakeLock(Held& h) : h_(h) { ++h_.mutex; }
    ~FakeLock() override { --h_.mutex; }

private:
    Held& h_;
};

class FakeToken final : public LogonToken {
public:
    explicit FakeToken(Held& h) : h_(h) { ++h_.tokens; }
    ~FakeToken() override { --h_.tokens; }

private:
    Held& h_;
};

class FakeObject final : public UserObject {
public:
    FakeObject(Held& h, std::vector<uint8_t>* dacl, bool present, uint32_t read_error,
               uint32_t write_error, int* writes)
        : h_(h), dacl_(dacl), present_(present), read_error_(read_error), write_error_(write_error),
          writes_(writes) {
        ++h_.objects;
    }
    ~FakeObject() override { --h_.objects; }
    bool ReadDacl(std::vector<uint8_t>* dacl, bool* present, uint32_t* error) override {
        if (read_error_) {
            *error = read_error_;
            return false;
        }
        *dacl = *dacl_;
        *present = present_;
        return true;
    }
    bool WriteDacl(const std::vector<uint8_t>& acl, uint32_t* error) override {
        if (write_error_) {
            *error = write_error_;
            return false;
        }
        *dacl_ = acl;
        ++*writes_;
        return true;
    }

private:
    Held& h_;
    std::vector<uint8_t>* dacl_;
    bool present_;
    uint32_t read_error_, write_error_;
    int* writes_;
};

class FakeStarted final : public StartedProcess, public CaptureSource {
public:
    FakeStarted(Held& h, std::deque<std::string> chunks, WaitOutcome wait, uint32_t exit_code,
                bool win95_ends_after_chunks)
        : h_(h), chunks_(std::move(chunks)), wait_(wait), exit_code_(exit_code),
          ends_(win95_ends_after_chunks) {
        ++h_.processes;
    }
    ~FakeStarted() override { --h_.processes; }
    CaptureSource& Output() override { return *this; }
    WaitOutcome Wait(uint32_t timeout_ms, uint32_t* exit_code, uint32_t* error) override {
        if (waited_out) *waited_out = timeout_ms;
        *exit_code = wait_ == WaitOutcome::kTimedOut ? 259 : exit_code_;
        *error = 6;
        return wait_;
    }
    bool WaitProcess(uint32_t) override { return ends_ && chunks_.empty(); }
    bool BytesWaiting(uint32_t* count, uint32_t*) override {
        *count = chunks_.empty() ? 0 : uint32_t(chunks_.front().size());
        return true;
    }
    bool Read(uint8_t* chunk, uint32_t size, uint32_t* got) override {
        if (chunks_.empty()) {
            *got = 0;
            return false; // every write end closed
        }
        std::string& front = chunks_.front();
        uint32_t n = uint32_t(front.size()) < size ? uint32_t(front.size()) : size;
        std::copy(front.begin(), front.begin() + n, chunk);
        front.erase(0, n);
        if (front.empty()) chunks_.pop_front();
        *got = n;
        return true;
    }
    uint32_t* waited_out = nullptr;

private:
    Held& h_;
    std::deque<std::string> chunks_;
    WaitOutcome wait_;
    uint32_t exit_code_;
    bool ends_;
};

class FakeExecPlatform final : public ExecPlatform {
public:
    // Script.
    bool win95 = false;
    bool mutex_free = true;
    int anonymous = 0;
    bool restrict_readable = false;
    uint32_t restrict_value = 0;
    MapVariables variables;
    uint32_t logon_error = 0, station_error = 0, desktop_error = 0, sid_error = 0;
    std::string sid = std::string("\x01\x01\0\0\0\0\0\x05\x15\0\0\0", 12);
    std::vector<uint8_t> station_dacl, desktop_dacl;
    bool station_present = true, desktop_present = true;
    uint32_t station_read_error = 0, station_write_error = 0;
    uint32_t desktop_read_error = 0, desktop_write_error = 0;
    StartResult::Failure start_failure = StartResult::Failure::kNone;
    uint32_t start_error = 0;
    std::deque<std::string> output;
    WaitOutcome wait = WaitOutcome::kEnded;
    uint32_t exit_code = 0;

    // Seen.
    Held held;
    std::vector<StartSpec> starts;
    std::vector<std::string> logons; // user names
    std::string last_password;
    int station_writes = 0, desktop_writes = 0;
    int held_at_start = -1, tokens_at_start = -1;
    uint32_t waited_for_mutex = 0;
    uint32_t waited_for_process = 0;

    bool Win95Mode() override { return win95; }
    std::unique_ptr<ExecutionLock> HoldExecutionMutex(uint32_t ms) override {
        waited_for_mutex = ms;
        if (!mutex_free) return nullptr;
        return std::make_unique<FakeLock>(held);
    }
    int AnonymousRequest() override { return anonymous; }
    bool RestrictAnonCmdExec(uint32_t* value) override {
        *value = restrict_value;
        return restrict_readable;
    }
    VariableSource& Variables() override { return variables; }
    std::unique_ptr<LogonToken> LogOn(const std::string& user, const std::string& password,
                                      uint32_t* error) override {
        logons.push_back(user);
        last_password = password;
        if (logon_error) {
            *error = logon_error;
            return nullptr;
        }
        return std::make_unique<FakeToken>(held);
    }
    std::unique_ptr<UserObject> OpenInteractiveStation(uint32_t* error) override {
        if (station_error) {
            *error = station_error;
            return nullptr;
        }
        return std::make_unique<FakeObject>(held, &station_dacl, station_present,
                                            station_read_error, station_write_error,
                                            &station_writes);
    }
    std::unique_ptr<UserObject> OpenDefaultDesktop(uint32_t* error) override {
        if (desktop_error) {
            *error = desktop_error;
            return nullptr;
        }
        return std::make_unique<FakeObject>(held, &desktop_dacl, desktop_present,
                                            desktop_read_error, desktop_write_error,
                                            &desktop_writes);
    }
    bool TokenUserSid(const LogonToken&, std::string* out, uint32_t* error) override {
        if (sid_error) {
            *error = sid_error;
            return false;
        }
        *out = sid;
        return true;
    }
    StartResult Start(const StartSpec& spec) override {
        starts.push_back(spec);
        held_at_start = held.mutex;
        tokens_at_start = held.tokens;
        StartResult r;
        r.failure = start_failure;
        r.error = start_error;
        if (start_failure == StartResult::Failure::kNone) {
            auto started = std::make_unique<FakeStarted>(held, output, wait, exit_code, true);
            started->waited_out = &waited_for_process;
            r.process = std::move(started);
        }
        return r;
    }
    void ConvertOemToAnsi(uint8_t* text, size_t size) override {
        for (size_t i = 0; i < size; ++i)
            if (text[i] == 0x81) text[i] = 0xFC; // OEM 437 u-umlaut to ANSI 1252
    }
};

} // namespace pm::exec::test
