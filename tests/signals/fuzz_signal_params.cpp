// The Signal a Process and Operating System Specific Command parameters are the console's
// bytes: any of them must be handled without reading outside them.
#include <cstdint>
#include <cstring>
#include <vector>

#include "procman/w32/signals/kill_process.h"
#include "procman/w32/signals/service_command.h"
#include "tests/signals/fake_signal_platform.h"
#include "tests/signals/signals_test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pm;
    if (size < 4) return 0;
    const uint8_t tab = data[0] % 4, signal = data[1] % 11, split = data[2], flags = data[3];
    data += 4;
    size -= 4;

    static table::RawTable nt(false), win95(true);
    if (nt.Processes().empty()) {
        nt.MutableProcesses().push_back(signals::test::Process(1, "a.exe"));
        win95.MutableProcesses().push_back(signals::test::Process(1, "b.exe", 0x20));
    }
    signals::test::FakeSignalPlatform p;
    p.win9x = flags & 1;
    p.status.current_state = (flags >> 1) & 7;
    p.call_fails = (flags & 0x20) != 0;
    // An exact-size copy so that reads past the parameter are caught.
    std::vector<uint8_t> param(data, data + size);
    (void)signals::KillProcess((flags & 0x10) ? win95 : nt, tab, signal,
                               param.empty() ? nullptr : param.data(),
                               static_cast<uint32_t>(param.size()), p);

    Command c(0x73124545);
    const size_t a = size ? split % (size + 1) : 0;
    const size_t b = a + (size - a) / 2;
    c.AddParam(data, static_cast<uint32_t>(a));
    c.AddParam(data + a, static_cast<uint32_t>(b - a));
    c.AddParam(data + b, static_cast<uint32_t>(size - b));
    signals::OsSpecificCommand(c, p);
    return 0;
}
