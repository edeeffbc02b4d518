// Helpers of the Windows tests: message buffers from the library, a recording node, child
// processes that are this same test program.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "shared/ipc/kavipc32_abi.h"
#include "tests/ipc/test_message.h"

namespace kavipc_test {

// A message in a buffer from AllocateMessage (ordinal 5).
inline void* LibraryMessage(const MessageSpec& s) {
    std::vector<uint8_t> m = BuildMessage(s);
    void* b = AllocateMessage(static_cast<uint32_t>(m.size()));
    if (b != nullptr) std::memcpy(b, m.data(), m.size());
    return b;
}

// A node that records what its callback sees and checks that calls never overlap.
class RecordingNode {
public:
    explicit RecordingNode(std::string name, DWORD sleep_ms = 0)
        : name_(std::move(name)), sleep_ms_(sleep_ms) {}
    ~RecordingNode() { Delete(); }

    bool Create() {
        handle_ = CreateSvcNode(name_.c_str(), this, &RecordingNode::Callback);
        return handle_ != 0;
    }
    void Delete() {
        if (handle_ != 0) DeleteSvcNode(name_.c_str());
        handle_ = 0;
    }
    const std::string& name() const { return name_; }

    bool WaitMessages(size_t n, DWORD ms = 10000) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms),
                            [&] { return messages_.size() >= n; });
    }
    bool WaitTicks(size_t n, DWORD ms = 10000) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms),
                            [&] { return ticks_.size() >= n; });
    }
    std::vector<std::vector<uint8_t>> messages() {
        std::lock_guard<std::mutex> lock(mu_);
        return messages_;
    }
    std::vector<uint32_t> ticks() {
        std::lock_guard<std::mutex> lock(mu_);
        return ticks_;
    }
    int overlaps() const { return overlaps_.load(); }
    int callbacks_finished() const { return finished_.load(); }
    std::atomic<int> started{0};

private:
    static int KAVIPC_API Callback(void* node, void* message, uint32_t elapsed) {
        auto* self = static_cast<RecordingNode*>(node);
        if (self->inside_.fetch_add(1) != 0) self->overlaps_++;
        self->started++;
        if (self->sleep_ms_ != 0 && message != nullptr) Sleep(self->sleep_ms_);
        {
            std::lock_guard<std::mutex> lock(self->mu_);
            if (message == nullptr) {
                self->ticks_.push_back(elapsed);
            } else {
                uint32_t len;
                std::memcpy(&len, message, 4);
                auto* p = static_cast<const uint8_t*>(message);
                self->messages_.emplace_back(p, p + len);
                FreeMessage(message);
            }
        }
        self->inside_.fetch_sub(1);
        self->finished_++;
        self->cv_.notify_all();
        return 0;
    }

    std::string name_;
    DWORD sleep_ms_;
    uintptr_t handle_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::vector<uint8_t>> messages_;
    std::vector<uint32_t> ticks_;
    std::atomic<int> inside_{0};
    std::atomic<int> overlaps_{0};
    std::atomic<int> finished_{0};
};

inline std::string ThisProgram() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

inline std::string ProgramFolder() {
    std::string p = ThisProgram();
    return p.substr(0, p.find_last_of("\\/"));
}

// A started process; Wait answers its exit code (or -1 on time-out).
struct Child {
    PROCESS_INFORMATION pi{};
    bool started = false;
    ~Child() {
        if (started) {
            if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0)
                TerminateProcess(pi.hProcess, 99);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
    int Wait(DWORD ms = 20000) {
        if (!started || WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        return static_cast<int>(code);
    }
};

// Starts `command_line`; `role` (when not empty) goes into KAVIPC_TEST_ROLE for the child.
inline bool Start(Child& c, const std::string& command_line, const std::string& role = "") {
    if (!role.empty()) SetEnvironmentVariableA("KAVIPC_TEST_ROLE", role.c_str());
    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::vector<char> cmd(command_line.begin(), command_line.end());
    cmd.push_back('\0');
    c.started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &c.pi) != FALSE;
    if (!role.empty()) SetEnvironmentVariableA("KAVIPC_TEST_ROLE", nullptr);
    return c.started;
}

// This test program again, running only the child test with the given role.
inline bool StartSelf(Child& c, const std::string& role) {
    return Start(c, "\"" + ThisProgram() + "\" --gtest_filter=ChildProcess.Role --gtest_brief=1",
                 role);
}

inline bool WaitForNode(const char* name, bool present, DWORD ms = 15000) {
    for (DWORD waited = 0; waited < ms; waited += 20) {
        if ((SvcNodeExists(name) != 0) == present) return true;
        Sleep(20);
    }
    return false;
}

} // namespace kavipc_test
