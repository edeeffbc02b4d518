// Arbitrary bytes as text from the other side (captured output, a monitor's name, a line of a
// monitor file, an Execute Command reply): what reaches a terminal holds no control character,
// an escaped name holds no line break and reads back as it was, and nothing reads outside.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "outside/pmconsole/exec_command.h"
#include "outside/pmconsole/monitor_file.h"
#include "outside/pmconsole/visible_text.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// No C0 but tab, line feed and CR before LF; no DEL; no C1 in UTF-8.
bool TerminalSafe(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == 0x7F) return false;
        if (c < 0x20 && c != '\t' && c != '\n' &&
            !(c == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            return false;
        if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(s[i + 1]) <= 0x9F)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Check(TerminalSafe(pm::console::VisibleText(text)));

    const std::string escaped = pm::console::EscapeName(text);
    Check(escaped.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    Check(pm::console::UnescapeName(escaped) == text);
    (void)pm::console::UnescapeName(text);

    pm::console::MonitorDef def;
    std::string error;
    if (pm::console::ParseMonitorLine(text, &def, &error)) {
        pm::console::MonitorDef back;
        Check(pm::console::ParseMonitorLine(pm::console::MonitorLine(def), &back, &error));
        Check(back.name == def.name && back.key == def.key);
    }

    // The same bytes as a reply's items, split at one-byte length prefixes.
    pm::console::Reply reply;
    for (size_t pos = 0; pos < size && reply.items.size() < 8;) {
        size_t n = data[pos++];
        if (n > size - pos) n = size - pos;
        reply.items.emplace_back(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
    }
    const pm::console::ExecOutcome r = pm::console::DecodeExecReply(reply);
    Check(!r.cut || reply.items.size() >= 4);
    return 0;
}
