// Presence objects and stored alerts under libFuzzer: any bytes either fail to read or read
// into an object that is written back and read again to the same object. The same bytes as a
// subject: a machine read from it is a valid name, and a console inbox holds no wildcard.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shared/remote/alerts.h"
#include "shared/remote/presence.h"
#include "shared/remote/subjects.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    pm::remote::AlertRecord a, b;
    if (pm::remote::ParseAlert(text, a) && (!pm::remote::ParseAlert(pm::remote::AlertJson(a), b) ||
                                            pm::remote::AlertJson(b) != pm::remote::AlertJson(a)))
        std::abort();
    // A read back finds an alert only of the machine asked, and then its id.
    std::string id;
    if (pm::remote::ReadReadBack(a.machine.empty() ? "m" : a.machine, 0, text, id) ==
            pm::remote::ReadBackAnswer::kFound &&
        id != a.MessageId())
        std::abort();
    const std::string machine = pm::remote::MachineOfSubject(text, "alerts");
    if (!machine.empty() && !pm::remote::IsValidMachineName(machine)) std::abort();
    if (pm::remote::IsConsoleInbox(text) &&
        (text.find_first_of("*> \t\r\n") != std::string::npos || text.rfind("_INBOX.", 0) != 0))
        std::abort();
    pm::remote::Presence p;
    if (!pm::remote::ParsePresence(text, p)) return 0;
    pm::remote::Presence again;
    const std::string written = pm::remote::PresenceJson(p);
    if (!pm::remote::ParsePresence(written, again) || pm::remote::PresenceJson(again) != written)
        std::abort();
    return 0;
}
