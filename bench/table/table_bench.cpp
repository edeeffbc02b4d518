// Times change detection (ChangeTracker::Renew) and collecting update records on synthetic
// snapshots, to show that cost grows linearly with the table. Prints figures; judges nothing.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "procman/w32/table/change_tracker.h"

using namespace pm::table;

namespace {

// A snapshot of n processes and s services; every 10th process changes with the generation,
// and one in 100 is replaced by a new id.
std::unique_ptr<RawTable> Make(uint32_t n, uint32_t s, uint32_t generation) {
    auto t = std::make_unique<RawTable>(false);
    auto& procs = t->MutableProcesses();
    procs.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        ProcessEntry e;
        e.process_id = (i % 100 == 0) ? 1000000 + i + generation * n : 4 * (i + 1);
        e.thread_count = static_cast<uint16_t>(1 + (i % 10 == 0 ? generation : 0));
        e.base_priority = 8;
        e.working_set = 4096 * i;
        e.name = ("C:\\Program Files\\Vendor\\process" + std::to_string(i) + ".exe").c_str();
        e.user_name = "SYSTEM";
        procs.push_back(std::move(e));
    }
    auto& svcs = t->MutableServices(2);
    svcs.reserve(s);
    for (uint32_t j = 0; j < s; ++j)
        svcs.push_back(ServiceEntry{pm::TextString(("Service number " + std::to_string(j)).c_str()),
                                    static_cast<uint16_t>(j % 50 == 0 ? 1 + generation % 7 : 4),
                                    2});
    return t;
}

double Millis(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Run(uint32_t n, uint32_t s) {
    const int rounds = 20;
    std::vector<std::unique_ptr<RawTable>> tables;
    for (int g = 0; g <= rounds; ++g)
        tables.push_back(Make(n, s, g));
    ChangeTracker c;
    c.Renew(std::move(tables[0]));
    double renew = 0, collect = 0;
    size_t items = 0;
    for (int g = 1; g <= rounds; ++g) {
        uint32_t since = c.Clock();
        auto t0 = std::chrono::steady_clock::now();
        c.Renew(std::move(tables[g]));
        auto t1 = std::chrono::steady_clock::now();
        auto records = c.CollectUpdates(since);
        auto t2 = std::chrono::steady_clock::now();
        items += records.size();
        renew += Millis(t1 - t0);
        collect += Millis(t2 - t1);
    }
    std::printf(
        "%6u processes + %5u services: CheckForUpdates %8.3f ms, AddUpdateRecords %8.3f ms, "
        "total %8.3f ms (mean of %d; %zu items per reply)\n",
        n, s, renew / rounds, collect / rounds, (renew + collect) / rounds, rounds, items / rounds);
}

} // namespace

int main() {
    Run(1000, 1000);
    Run(10000, 1000);
    Run(1000, 5000);
    Run(10000, 5000);
    return 0;
}
