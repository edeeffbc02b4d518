// Under Windows or Wine, beside an agent that is already running: the no-change update request
// (0x73124533 with the current clock) on the local pipe, one at a time: p50 and p99. The other
// half of the remote update's budget (bench/remote/remote_bench.sh). Prints figures only.
//   local_update_bench [ROUNDS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support_win.h"
#include "shared/base/win_handles.h"
#include "shared/node/command.h"
#include "shared/node/messaging_library.h"
#include "shared/node/service_node.h"

using namespace pm;
using pm::bench::Now;
using pm::bench::WaitedCommand;

namespace {

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(p * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// One update; the milliseconds taken (-1 without reply), the clock and the items it brought.
double Update(ServiceNode& node, uint32_t& clock, size_t& items) {
    WaitedCommand cmd(0x73124533);
    cmd.AddParam(&clock, 4);
    cmd.SetTargetAddr("ProcMgr");
    const double t0 = Now();
    node.SendCommand(&cmd, Send::kNoWait);
    if (!cmd.Wait()) return -1;
    const double t = Now() - t0;
    if (cmd.GetResultCount() > 0 && cmd.GetResultSize(0) >= 4)
        std::memcpy(&clock, cmd.GetResult(0), 4);
    items = cmd.GetResultCount();
    return t;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
    MessagingLibrary& lib = ProcessMessagingLibrary();
    if (!lib.Bind()) {
        std::puts("KAVIPC32.DLL not found beside the benchmark");
        return 1;
    }
    if (!lib.Functions().SvcNodeExists("ProcMgr")) {
        std::puts("the agent (node ProcMgr) is not running");
        return 1;
    }
    const std::string name = "local-update-bench-" + std::to_string(GetCurrentProcessId());
    ServiceNode node(name.c_str(), 0, lib, SystemNodePlatform());
    uint32_t clock = 0;
    size_t items = 0;
    Update(node, clock, items); // the whole table once
    std::vector<double> quiet;
    for (int i = 0; i < rounds; ++i) {
        const double ms = Update(node, clock, items);
        if (ms >= 0 && items == 1) quiet.push_back(ms); // only the clock: nothing changed
    }
    node.Unregister();
    std::printf("%-34s p50 %8.3f ms   p99 %8.3f ms   (%zu samples)\n",
                "update on the local pipe:", Percentile(quiet, 0.5), Percentile(quiet, 0.99),
                quiet.size());
    return quiet.empty() ? 1 : 0;
}
