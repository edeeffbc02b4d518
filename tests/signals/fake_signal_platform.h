// A SignalPlatform for tests: scripted answers, a record of every call, and counts of what is
// open so that each test can check that everything opened was closed.
#pragma once

#include <string>
#include <vector>

#include "procman/w32/signals/signal_platform.h"

namespace pm::signals::test {

class FakeSignalPlatform : public SignalPlatform {
public:
    // Scripted answers.
    int win9x = 0;
    bool open_process_ok = true;
    bool terminate_ok = true;
    bool snapshot_ok = true;
    std::vector<ThreadInfo> threads;
    bool post_ok = true;
    bool manager_ok = true;
    bool key_name_ok = true;
    std::string key_name = "TestSvc";
    bool open_service_ok = true;
    bool query_ok = true;
    ServiceStatus status{kServiceRunning, kAcceptStop | kAcceptPauseContinue};
    bool control_ok = true;
    bool start_ok = true;
    uint32_t last_error = 0;

    // What happened.
    std::vector<std::string> calls;
    int processes_open = 0, snapshots_open = 0, managers_open = 0, services_open = 0;
    std::vector<uint32_t> controls;
    std::vector<uint32_t> posted_threads;
    std::string opened_service;
    std::string key_name_asked;

    bool AllClosed() const {
        return processes_open == 0 && snapshots_open == 0 && managers_open == 0 &&
               services_open == 0;
    }

    int IsWin9x() override {
        calls.push_back("IsWin9x");
        return win9x;
    }
    bool OpenProcess(uint32_t pid, bool all_access) override {
        calls.push_back(std::string("OpenProcess ") + std::to_string(pid) +
                        (all_access ? " all" : " terminate"));
        if (!open_process_ok) return false;
        ++processes_open;
        return true;
    }
    bool TerminateProcess(uint32_t exit_code) override {
        calls.push_back("TerminateProcess " + std::to_string(exit_code));
        return terminate_ok;
    }
    void CloseProcess() override {
        calls.push_back("CloseProcess");
        --processes_open;
    }
    bool OpenThreadSnapshot() override {
        calls.push_back("OpenThreadSnapshot");
        if (!snapshot_ok) return false;
        ++snapshots_open;
        walk_ = 0;
        return true;
    }
    bool ThreadFirst(ThreadInfo* t) override {
        walk_ = 0;
        return ThreadNext(t);
    }
    bool ThreadNext(ThreadInfo* t) override {
        if (walk_ >= threads.size()) return false;
        *t = threads[walk_++];
        return true;
    }
    void CloseThreadSnapshot() override {
        calls.push_back("CloseThreadSnapshot");
        --snapshots_open;
    }
    bool PostQuit(uint32_t thread_id) override {
        calls.push_back("PostQuit " + std::to_string(thread_id));
        posted_threads.push_back(thread_id);
        return post_ok;
    }
    bool OpenServiceManager() override {
        calls.push_back("OpenServiceManager");
        if (!manager_ok) return false;
        ++managers_open;
        return true;
    }
    bool ServiceKeyName(const std::string& display, std::string* key) override {
        calls.push_back("ServiceKeyName " + display);
        key_name_asked = display;
        if (!key_name_ok) return false;
        *key = key_name;
        return true;
    }
    bool OpenServiceByKey(const std::string& key) override {
        calls.push_back("OpenService " + key);
        opened_service = key;
        if (!open_service_ok) return false;
        ++services_open;
        return true;
    }
    bool QueryServiceStatus(ServiceStatus* s) override {
        calls.push_back("QueryServiceStatus");
        if (!query_ok) return false;
        *s = status;
        return true;
    }
    bool ControlService(uint32_t control) override {
        calls.push_back("ControlService " + std::to_string(control));
        controls.push_back(control);
        return control_ok;
    }
    bool StartServiceNoArgs() override {
        calls.push_back("StartService");
        return start_ok;
    }
    void CloseService() override {
        calls.push_back("CloseService");
        --services_open;
    }
    void CloseServiceManager() override {
        calls.push_back("CloseServiceManager");
        --managers_open;
    }
    uint32_t LastError() override { return last_error; }

private:
    size_t walk_ = 0;
};

} // namespace pm::signals::test
