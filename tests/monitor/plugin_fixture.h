// A plug-in on the fake platform with its definitions under "C:\Data\", and the byte helpers
// of the tests that build commands and files.
#pragma once

#include <gtest/gtest.h>

#include "fake_plugin_platform.h"

namespace pm::monitor::test {

inline std::vector<uint8_t> U32(uint32_t v) {
    std::vector<uint8_t> b(4);
    WriteU32(b.data(), v);
    return b;
}

inline std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override { plugin.InitIndepMonitors("C:\\Data\\"); }
    ProcMonitor* Watch(const char* name, uint8_t conditions = 0, uint8_t level = 1,
                       uint16_t timeout = 0, uint32_t key = 0, OwnerId owner = OwnerId{}) {
        return plugin.CreateMonitor(MakeRecord(key, level, conditions, timeout, name).data(), false,
                                    owner);
    }
    // The monitors' names in visiting order.
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        plugin.Registry().ForEach([&](ProcMonitor& m) { names.push_back(m.Name()); });
        return names;
    }
    // One pulse `ms` after the previous one; answers the number of alerts it queued.
    uint32_t Pulse(uint32_t ms = 15000) {
        platform.now += ms / 1000;
        uint32_t n = 0xDEAD;
        EXPECT_EQ(plugin.IndepMonitorPulse(0, ms, &n), 15000u);
        return n;
    }
    std::vector<uint8_t>& File() { return platform.files["C:\\Data\\velstra.ini"]; }

    FakePluginPlatform platform;
    Plugin plugin{platform};
};

} // namespace pm::monitor::test
