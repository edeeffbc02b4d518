// pmsvc as a Windows service ("pmsvc") and in the foreground (--console).
#pragma once

namespace pmsvc {

// Hands the process to the service control manager; answers the exit code of the program:
// 0 after the service stopped, 2 when the program was not started as a service.
int RunAsService();

// The same supervision in the foreground until Ctrl+C or Ctrl+Break.
int RunInConsole();

} // namespace pmsvc
