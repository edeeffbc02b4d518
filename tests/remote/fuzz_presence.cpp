// Presence objects, stored alerts and the stream's answers under libFuzzer: any bytes either
// fail to read or read into an object that is written back and read again to the same object. The
// same bytes as a subject: a machine read from it is a valid name, and a console inbox holds no
// wildcard.
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
    // The stream's answer to an alert: a refusal names the subject's last sequence as written.
    using Kind = pm::remote::AlertAnswer::Kind;
    const pm::remote::AlertAnswer answer = pm::remote::ReadAlertAnswer(text);
    const pm::remote::AlertAnswer refused = pm::remote::AlertAnswerOfError(10071, text);
    if ((answer.kind == Kind::kFailed && answer.seq != 0) ||
        (refused.kind == Kind::kWrongLast &&
         pm::remote::AlertAnswerOfError(10071,
                                        "wrong last sequence: " + std::to_string(refused.seq))
                 .seq != refused.seq))
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
