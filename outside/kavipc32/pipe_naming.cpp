// Pipe names and their DACL. Portable: no OS code here.
#include "outside/kavipc32/pipe_naming.h"

namespace kavipc {

std::string PipePathForNode(const std::string& node) {
    return "\\\\.\\pipe\\kavipc32\\" + node;
}

std::string PipeSddl(const std::string& user_sid) {
    std::string sddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
    bool usable = user_sid.size() > 4 && user_sid.compare(0, 2, "S-") == 0 &&
                  user_sid.find_first_not_of("S-0123456789") == std::string::npos;
    if (usable) sddl += "(A;;GA;;;" + user_sid + ")";
    return sddl;
}

} // namespace kavipc
