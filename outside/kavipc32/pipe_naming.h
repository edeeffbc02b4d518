// Names and access rules of the pipes that carry messages. Portable: no OS code here.
#pragma once

#include <string>

namespace kavipc {

// "\\.\pipe\kavipc32\<node>": the system's pipe namespace is the directory of nodes.
std::string PipePathForNode(const std::string& node);

// Security descriptor (SDDL) for a node's pipe: protected DACL with full access for SYSTEM,
// the Administrators group and the account that creates the node (its SID string), and no
// one else. Without a usable SID only SYSTEM and Administrators are named.
std::string PipeSddl(const std::string& user_sid);

} // namespace kavipc
