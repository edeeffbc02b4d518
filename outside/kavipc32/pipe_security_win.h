// The security descriptor of a node's pipe, built from PipeSddl with the caller's account.
#pragma once

#include <windows.h>

#include <string>

#include "shared/base/unique_resource.h"

namespace kavipc {

struct LocalFreeTraits {
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept { LocalFree(v); }
};
using unique_local = pm::UniqueResource<LocalFreeTraits>;

class PipeSecurity {
public:
    // Builds the descriptor; attributes() is null when that was not possible (the pipe then
    // gets the default descriptor of the process).
    PipeSecurity();
    SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &sa_ : nullptr; }

private:
    unique_local descriptor_;
    SECURITY_ATTRIBUTES sa_{};
};

// The string SID of the process's account, or empty.
std::string CurrentUserSid();

// A weakened or refused protection, said where an administrator looks: the debugger output and
// the standard error.
void TraceLoudly(const char* text);

} // namespace kavipc
