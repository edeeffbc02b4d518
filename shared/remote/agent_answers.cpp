// Portable: no OS code here.
#include "shared/remote/agent_answers.h"

namespace pm::remote {

std::string SignalResultText(uint32_t status) {
    switch (status) {
    case 0:
        return "done";
    case 1:
        return "invalid command";
    case 0xDA000001:
        return "the service is not in a state that allows this, or does not accept it";
    case 0xDA000002:
        return "the signal is not supported for this tab";
    case 0xDA000004:
        return "the service control manager or the service cannot be opened";
    case 0xDA000005:
        return "the process is not in the agent's list or cannot be opened, or the service "
               "status cannot be read";
    case 0xDA000006:
        return "no such tab: the agent runs in Windows 95 mode";
    case 0xDA000007:
        return "the system call failed, or no thread of the process was found";
    default:
        return "unknown result";
    }
}

std::string ServiceStatusText(uint32_t status) {
    switch (status) {
    case 0:
        return "done";
    case 1:
        return "the service control manager cannot be opened";
    case 2:
        return "the service cannot be opened";
    case 3:
        return "the service status cannot be read";
    case 4:
        return "the start or control call failed";
    case 5:
        return "the service's state does not allow this, or it does not accept it";
    default:
        return "unknown status";
    }
}

} // namespace pm::remote
