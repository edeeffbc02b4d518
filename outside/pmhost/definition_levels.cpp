// Portable: no OS code here.
#include "outside/pmhost/definition_levels.h"

#include "shared/monitor/definitions_file.h"
#include "shared/monitor/monitor_name.h"

namespace pm::host {

void DefinitionLevels::Refresh() {
    FileStamp now;
    const bool present = source_.Stamp(&now);
    if (known_ && present == present_ && (!present || now == stamp_)) return;
    std::vector<uint8_t> bytes;
    // A file that cannot be read now is tried again at the next alert.
    if (present && !source_.Read(&bytes)) return;
    levels_.clear();
    const monitor::ParsedDefinitions parsed = monitor::ParseDefinitions(bytes.data(), bytes.size());
    for (const monitor::DefinitionEntry& e : parsed.entries) {
        const char* stored = reinterpret_cast<const char*>(
            &e.record[monitor::ReadU16(&e.record[monitor::kNameOffsetAt])]);
        levels_.emplace(monitor::StoredName(monitor::BareName(stored)),
                        e.record[monitor::kAlertLevelAt]);
    }
    known_ = true;
    present_ = present;
    stamp_ = now;
}

uint16_t DefinitionLevels::LevelOf(const std::string& name) {
    Refresh();
    const auto it = levels_.find(name);
    return it == levels_.end() ? 0 : it->second;
}

} // namespace pm::host
