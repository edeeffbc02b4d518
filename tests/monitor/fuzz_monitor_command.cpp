// libFuzzer: a console command buffer of any bytes through the check and then the plug-in, on a
// registry of two monitors, with an owner taken from the input. The check must agree with
// itself on the used size; the plug-in must stay inside the bytes and keep its file loadable.
#include <cstdlib>
#include <cstring>

#include "shared/monitor/command_buffer.h"
#include "../monitor/fake_plugin_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pm::monitor;
    const size_t used = CommandBufferUsed(data, size);
    if (used > size) std::abort();
    if (used && CommandBufferUsed(data, used) != used) std::abort();

    static test::FakePluginPlatform platform;
    Plugin plugin(platform);
    plugin.InitIndepMonitors("C:\\F\\");
    plugin.CreateMonitor(MakeRecord(1, 0, 1, 0, "A.EXE").data(), false, OwnerId{});
    plugin.CreateMonitor(MakeRecord(2, 0, 2, 0, "B.EXE").data(), false, OwnerId{1});
    OwnerId owner{};
    if (size >= 8 && (data[size - 1] & 1)) std::memcpy(owner.data(), data + size - 8, 8);
    // An exact copy, so that ASan sees any read beyond the buffer.
    std::vector<uint8_t> copy(data, data + size);
    uint8_t* reply = nullptr;
    uint32_t reply_size = 0;
    const uint32_t r =
        plugin.Passthrough2(0, copy.data(), copy.size(), &reply, &reply_size, owner.data());
    if (r && !used) std::abort();
    if (reply) {
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; i < reply_size; ++i)
            sink = sink ^ reply[i];
        Plugin::FreeBuffer(reply);
    }
    const auto& file = platform.files["C:\\F\\velstra.ini"];
    if (!file.empty()) {
        ParsedDefinitions p = ParseDefinitions(file.data(), file.size());
        if (p.stop != LoadStop::kEnd) std::abort();
        platform.files.clear();
    }
    return 0;
}
