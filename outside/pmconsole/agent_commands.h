// The console's commands for configuration and control: `config`, `kill`, `signal`, `svc`.
// Portable: they talk through ConsoleIo.
#pragma once

#include <string>
#include <vector>

#include "outside/console_model/base_info_view.h"
#include "outside/pmconsole/console_commands.h"

namespace pm::console {

// The agent refused or failed the request: its status says why.
constexpr int kExitAgentFailed = 1;

extern const char kConfigHelp[];
extern const char kKillHelp[];
extern const char kSignalHelp[];
extern const char kSvcHelp[];

int RunConfig(const std::vector<std::string>& args, ConsoleIo& io);
int RunKill(const std::vector<std::string>& args, ConsoleIo& io);
int RunSignal(const std::vector<std::string>& args, ConsoleIo& io);
int RunSvc(const std::vector<std::string>& args, ConsoleIo& io);

// Asks for Get Configuration and decodes it; false when there is no usable answer.
bool FetchBaseInfo(ConsoleIo& io, const std::string& to, BaseInfoView* view, std::string* error);

// The setting is shown when it could be read; the mode always (from the number of tabs).
std::string FormatBaseInfo(const BaseInfoView& v, const PlatformSettingView& setting = {});
std::string FormatBaseInfoJson(const BaseInfoView& v, const PlatformSettingView& setting = {});

} // namespace pm::console
