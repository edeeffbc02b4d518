// libFuzzer: a node-path packet of any bytes through the reader, GetNodeList and NodeConnect on
// a registry of two monitors. Nothing may be read outside the packet; a refused packet gives
// null, 0 and the handle 0xFFFFFFFF.
#include <cstdlib>

#include "shared/monitor/node_packets.h"
#include "../monitor/fake_plugin_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pm::monitor;
    static test::FakePluginPlatform platform;
    static Plugin* plugin = [] {
        auto* p = new Plugin(platform);
        p->InitIndepMonitors("C:\\F\\");
        p->CreateMonitor(MakeRecord(0x123, 0, 1, 0, "NOTEPAD.EXE").data(), false, OwnerId{});
        p->CreateMonitor(MakeRecord(0xF0000001, 0, 2, 0, "A.EXE").data(), false, OwnerId{});
        return p;
    }();
    platform.catalog_codes.clear(); // the fake's record of languages asked for
    std::vector<uint8_t> copy(data, data + size);
    const bool readable = ReadNodePathPacket(copy.data(), copy.size(), nullptr);
    uint8_t* list = plugin->GetNodeList(copy.data(), copy.size());
    if (list) {
        if (!readable) std::abort();
        if (ReadU32(list) != 17) std::abort();
        Plugin::FreeBuffer(list);
    }
    uint32_t handle = 0;
    uint8_t found = 0;
    const uint32_t r = plugin->NodeConnect(copy.data(), copy.size(), &handle, &found);
    if (r != (handle != kNoHandle ? 1u : 0u)) std::abort();
    if (r && !readable) std::abort();
    if (r) {
        uint8_t* v = plugin->NodeGetValue(handle);
        Plugin::FreeBuffer(v);
        uint8_t* a = plugin->GetNodeAttributes(handle);
        Plugin::FreeBuffer(a);
    }
    return 0;
}
