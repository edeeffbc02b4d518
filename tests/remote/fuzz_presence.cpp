// Presence objects and stored alerts under libFuzzer: any bytes either fail to read or read
// into an object that is written back and read again to the same object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shared/remote/alerts.h"
#include "shared/remote/presence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    pm::remote::AlertRecord a, b;
    if (pm::remote::ParseAlert(text, a) && (!pm::remote::ParseAlert(pm::remote::AlertJson(a), b) ||
                                            pm::remote::AlertJson(b) != pm::remote::AlertJson(a)))
        std::abort();
    pm::remote::Presence p;
    if (!pm::remote::ParsePresence(text, p)) return 0;
    pm::remote::Presence again;
    const std::string written = pm::remote::PresenceJson(p);
    if (!pm::remote::ParsePresence(written, again) || pm::remote::PresenceJson(again) != written)
        std::abort();
    return 0;
}
