// Fuzzes the command-line reader with everything it reads taken from the input:
//
//   byte 0           how the registry answers: bits 0-1 "Data", bits 2-3 "LogDir" (0 a string,
//                    1 missing, 2 not a string, 3 too long); bit 4 the module path has no
//                    folder; bit 5 code page 932 lead bytes; bit 6 no working directory
//   then, split at zero bytes: the command line, "Data", "LogDir", the text of any atom, and
//   response files named "1", "2", ... (so "@1" names the fifth part, which may name itself).
//
// Then the path helpers walk the command line, in buffers of exactly their size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/cmdline/cmd_line.h"
#include "shared/cmdline/tokenizer.h"
#include "shared/path/path_helpers.h"
#include "tests/cmdline/fake_settings_source.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// The settings source the input describes (see above).
void Describe(pm::testing::FakeSettingsSource& source, std::uint8_t flags,
              const std::vector<std::string>& parts) {
    auto part = [&](std::size_t i) { return i < parts.size() ? parts[i] : std::string(); };
    if (flags & 0x40) source.current_directory.reset();
    source.command_line = part(0);
    if (flags & 0x10) source.module_file_name = "quorlent.exe";
    if (parts.size() > 3) source.any_atom = part(3);
    const pm::RegistryRead how[] = {pm::RegistryRead::kOk, pm::RegistryRead::kMissing,
                                    pm::RegistryRead::kNotString, pm::RegistryRead::kTooLong};
    source.registry["Data"] = {how[flags & 3], part(1)};
    source.registry["LogDir"] = {how[(flags >> 2) & 3], part(2)};
    for (std::size_t n = 1; n + 3 < parts.size(); ++n)
        source.files[std::to_string(n)] = part(n + 3);
}

void WalkPaths(const std::string& text, pm::DbcsRules& rules) {
    const std::size_t length = text.size();
    // Exactly the text and its terminator: no room to append anything.
    std::vector<char> tight(text.c_str(), text.c_str() + length + 1);
    bool ok = pm::AppendBackslash(tight.data(), tight.size(), rules);
    Check(std::strlen(tight.data()) == length);
    (void)ok;
    // Room for one more byte: always succeeds.
    std::vector<char> room(text.c_str(), text.c_str() + length + 1);
    room.push_back('\0');
    Check(pm::AppendBackslash(room.data(), room.size(), rules));
    Check(std::strlen(room.data()) <= length + 1);
    // Not terminated inside its buffer: must fail without touching it.
    if (length > 0) {
        std::vector<char> unterminated(text.begin(), text.end());
        if (std::memchr(unterminated.data(), '\0', length) == nullptr) {
            Check(!pm::AppendBackslash(unterminated.data(), unterminated.size(), rules));
        }
    }
    std::vector<char> work(room);
    pm::RemoveTrailingBackslash(work.data(), rules);
    const char* c = work.data();
    if (const char* p = pm::FindLastBackslash(c, rules)) Check(*p == '\\');
    if (const char* p = pm::FindLastPathSeparator(c, rules)) Check(std::strchr("\\/:", *p));
    pm::FindCharacter(c, "\\", rules);
    pm::FindCharacter(c, c, rules);
    pm::FindLastCharacter(c, L'/', rules);
    std::size_t before = std::strlen(c);
    pm::StripFileName(work.data(), rules);
    Check(std::strlen(work.data()) <= before);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    std::vector<std::string> parts(1);
    for (std::size_t i = 1; i < size && parts.size() < 16; ++i) {
        if (data[i] == 0) {
            parts.emplace_back();
        } else {
            parts.back() += static_cast<char>(data[i]);
        }
    }

    const std::string whole(reinterpret_cast<const char*>(data), size);
    Check(pm::TokenizeCommandText(whole).size() <= size);

    pm::LeadByteTable cp932 = pm::LeadByteTable::CodePage932();
    pm::DbcsRules& rules =
        (flags & 0x20) ? static_cast<pm::DbcsRules&>(cp932) : pm::SystemDbcsRules();
    pm::testing::FakeSettingsSource source;
    Describe(source, flags, parts);
    pm::CmdLine cmd(1, source, rules);
    Check(cmd.CurrentDirectory() != nullptr && cmd.ProgramDirectory() != nullptr);
    Check(cmd.DataDirectory() != nullptr && cmd.LogDirectory() != nullptr);
    Check(std::strlen(cmd.LogDirectory()) > 0);

    WalkPaths(parts[0], rules);
    return 0;
}
