// The plug-in's own core behind export-shaped trampolines that count every buffer handed out and
// freed, as the monitor host reaches it: for the host's logic and for the console's commands
// answered by it.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "fake_plugin_platform.h"
#include "outside/pmhost/host_logic.h"
#include "shared/monitor/command_buffer.h"

namespace pm::host::test {

using monitor::OwnerId;
using monitor::Plugin;
using monitor::ReadU32;

inline Plugin* g_plugin = nullptr;
inline int g_calls = 0, g_allocs = 0, g_frees = 0;

// The plug-in's exports; every buffer they hand out or take back is counted.
struct Exports {
    static uint8_t* Counted(uint8_t* p) {
        g_allocs += p != nullptr;
        return p;
    }
    static void TARNVEX_API Free(uint8_t* p) {
        g_frees += p != nullptr;
        Plugin::FreeBuffer(p);
    }
    static uint32_t TARNVEX_API Passthrough2(uint32_t i, const uint8_t* c, uint8_t** r, uint32_t* s,
                                             const uint8_t* o) {
        ++g_calls;
        const uint32_t result = g_plugin->Passthrough2(i, c, monitor::kUnknownSize, r, s, o);
        g_allocs += result && monitor::CommandHasReply(ReadU32(c)) && *r;
        return result;
    }
    static uint32_t TARNVEX_API FreeBuffer(void* b, uint32_t) {
        Free(static_cast<uint8_t*>(b));
        return 1;
    }
    static uint32_t TARNVEX_API Init() { return g_plugin->InitNodes(); }
    static uint32_t TARNVEX_API Term() { return g_plugin->TermNodes(); }
    static uint8_t* TARNVEX_API List(const uint8_t* p) {
        return Counted(g_plugin->GetNodeList(p, ReadU32(p)));
    }
    static uint8_t* TARNVEX_API Attributes(uint32_t h) {
        return Counted(g_plugin->GetNodeAttributes(h));
    }
    static uint32_t TARNVEX_API Connect(const uint8_t* p, uint32_t* h, uint8_t* f) {
        return g_plugin->NodeConnect(p, ReadU32(p), h, f);
    }
    static uint32_t TARNVEX_API Disconnect(uint32_t) { return 1; }
    static uint32_t TARNVEX_API NodePulse(uint32_t, uint32_t) { return 15000; }
    static uint8_t* TARNVEX_API Value(uint32_t h) { return Counted(g_plugin->NodeGetValue(h)); }
};

inline NodeFunctions Nodes() {
    using E = Exports;
    return {&E::Init,    &E::Term,       &E::List,      &E::Free,  &E::Attributes, &E::Free,
            &E::Connect, &E::Disconnect, &E::NodePulse, &E::Value, &E::Free};
}

inline std::string Bytes(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

// The plug-in on the fake platform behind the exports; every buffer handed out is freed.
class HostMonitors : public ::testing::Test {
protected:
    void SetUp() override {
        g_plugin = &plugin;
        g_calls = g_allocs = g_frees = 0;
        plugin.InitIndepMonitors("C:\\Data\\");
        plugin.InitNodes();
    }
    void TearDown() override {
        EXPECT_EQ(g_allocs, g_frees);
        g_plugin = nullptr;
    }
    HostAnswer Command(const std::string& buffer, const std::array<uint8_t, 8>& owner = {}) {
        return RunMonitorCommand(buffer, owner, &Exports::Passthrough2, &Exports::FreeBuffer);
    }
    monitor::ProcMonitor* Watch(uint32_t key, const char* name) {
        return plugin.CreateMonitor(monitor::MakeRecord(key, 1, 3, 0, name).data(), false,
                                    OwnerId{});
    }
    monitor::test::FakePluginPlatform platform;
    Plugin plugin{platform};
};

} // namespace pm::host::test
