// `pmconsole serve` and the Alertmanager forwarder where the build had no cpp-httplib: say so.
#include <cstdio>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/web/alertmanager_forward_posix.h"
#include "outside/pmconsole/web/serve_posix.h"

namespace pm::console {

int RunServe(const std::vector<std::string>&, const RemoteSettings&, const std::string&,
             CompressedConverter, TextDecoder) {
    std::fprintf(stderr, "pmconsole serve: this console was built without cpp-httplib "
                         "(Debian: libcpp-httplib-dev)\n");
    return kExitUsage;
}

int RunAlertForwarder(const std::vector<std::string>&, const RemoteSettings&, const std::string&) {
    std::fprintf(stderr, "pmconsole fleet alerts --to-alertmanager: this console was built "
                         "without cpp-httplib (Debian: libcpp-httplib-dev)\n");
    return kExitUsage;
}

} // namespace pm::console
