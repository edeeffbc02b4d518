// The English texts of the program's string tables, by string id: what the tests expect the
// resources and the record builders to carry.
#pragma once

#include <map>
#include <string>

namespace pm::baseinfo {

inline const std::map<unsigned, std::string>& English() {
    static const std::map<unsigned, std::string> m = {
        {101, "Process ID"},
        {102, "Program Name"},
        {104, "Parent Process ID"},
        {106, "Num. Threads"},
        {108, "User ID"},
        {109, "Priority"},
        {116, "State"},
        {120, "Monitored"},
        {121, "Memory"},
        {205, "Close Application"},
        {210, "Pause Service"},
        {211, "Continue Service"},
        {212, "Start Service"},
        {213, "Stop Service"},
        {400, "Idle"},
        {401, "Low"},
        {402, "Background"},
        {403, "Normal"},
        {404, "Foreground"},
        {405, "High"},
        {406, "Server"},
        {407, "Time-Critical"},
        {408, "Real-Time"},
        {510, "Stopped"},
        {511, "Start Pending"},
        {512, "Stop Pending"},
        {513, "Running"},
        {514, "Continue Pending"},
        {515, "Pause Pending"},
        {516, "Paused"},
    };
    return m;
}

} // namespace pm::baseinfo
