// The alert levels of the monitors' records in "velstra.ini" (MonitorAlert does not carry the
// level). The file is read again only when it changed: the host asks for its stamp (size, last
// write time and file identity) at each alert, and reads it only when the stamp differs from
// the one it read last. Portable: the file is reached through DefinitionsSource.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pm::host {

// What tells one version of the file from the next. The plug-in replaces the file by a rename,
// so each save is a new file with its own identity even when size and time agree.
struct FileStamp {
    uint64_t size = 0;
    uint64_t write_time = 0;
    uint64_t identity = 0;
    bool operator==(const FileStamp& o) const {
        return size == o.size && write_time == o.write_time && identity == o.identity;
    }
};

class DefinitionsSource {
public:
    virtual ~DefinitionsSource() = default;
    // False when the file is not there (or cannot be opened).
    virtual bool Stamp(FileStamp* stamp) = 0;
    // The whole file, false when it cannot be read.
    virtual bool Read(std::vector<uint8_t>* bytes) = 0;
};

class DefinitionLevels {
public:
    explicit DefinitionLevels(DefinitionsSource& source) : source_(source) {}

    // The level of the first record naming `name` (its stored form), 0 when none does.
    uint16_t LevelOf(const std::string& name);

private:
    void Refresh();

    DefinitionsSource& source_;
    bool known_ = false; // a version was read (or its absence seen)
    bool present_ = false;
    FileStamp stamp_;
    std::map<std::string, uint16_t> levels_;
};

} // namespace pm::host
