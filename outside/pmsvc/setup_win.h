// The installer's and the uninstaller's steps (pmsvc --configure, pmsvc --cleanup).
#pragma once

#include "outside/pmsvc/svc_args.h"

namespace pmsvc {

// Recovery actions of the service (restart after 5 s, 30 s, 60 s; the count resets after a
// day), pmgate.conf beside the programs when servers are given, and the permissions at rest
// (at_rest.h): the credentials copy for SYSTEM and Administrators only, the data and log
// folders closed to writes by users. Answers the exit code.
int Configure(const SvcArgs& args);

// Removes what the programs wrote: pmgate.conf and its copied credentials, the known logs and
// markers in the log and data folders (and those folders when empty), velstra.ini only with
// --purge, and the registry key SOFTWARE\Orvane\Kestrane. Answers the exit code.
int Cleanup(const SvcArgs& args);

} // namespace pmsvc
