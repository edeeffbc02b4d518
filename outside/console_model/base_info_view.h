// What Get Configuration tells the console, decoded from its five reply items: the manager
// info, the columns of each tab, the signals per tab, the enumerated texts and the language
// code. Portable; every length and offset is checked before it is used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outside/console_model/console_tables.h"

namespace pm::console {

struct ColumnInfo {
    uint32_t field_id = 0;
    uint32_t data_type = 0;
    std::string title;
};

struct GroupInfo {
    std::string name; // the group number as text
    uint32_t key_field = 0;
    uint32_t monitored = 0;
    std::vector<ColumnInfo> columns;
};

struct SignalInfo {
    uint32_t id = 0;
    uint32_t tab = 0;
    std::string name;
};

struct EnumString {
    uint16_t index = 0;
    std::string text;
};

struct EnumInfo {
    uint16_t id = 0;
    std::vector<EnumString> strings;
};

struct BaseInfoView {
    uint32_t version = 0;
    uint8_t os_type = 0, os_major = 0, os_minor = 0, os_subversion = 0;
    uint32_t flags = 0;
    uint32_t num_groups = 0;
    std::vector<GroupInfo> groups;
    std::vector<SignalInfo> signals;
    std::vector<EnumInfo> enums;
    std::string language;

    // Texts of enumeration id, indexed by their index (index 0 unused).
    std::vector<std::string> EnumTexts(uint16_t id) const;
};

// Decodes the items of a Get Configuration reply, as the reply carries them or as bytes; false
// with a reason when one is malformed.
bool DecodeBaseInfo(const std::vector<std::string>& items, TextDecoder decode, BaseInfoView* view,
                    std::string* error);
bool DecodeBaseInfo(const std::vector<std::vector<uint8_t>>& items, TextDecoder decode,
                    BaseInfoView* view, std::string* error);

} // namespace pm::console
