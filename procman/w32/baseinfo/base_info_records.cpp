// Portable: no OS code here.
#include "procman/w32/baseinfo/base_info_records.h"

#include <cstring>
#include <utility>

#include "procman/w32/table/table_trace.h"
#include "shared/text/text_string.h"

namespace pm::baseinfo {
namespace {

using table::Trace;

// Writes little-endian fields into a zero-filled block whose size was computed beforehand.
class Writer {
public:
    explicit Writer(uint32_t size)
        : record_(Record::Zeroed(size)), data_(record_.data()), size_(record_.size()) {}
    void U16(uint32_t v) { Put(v, 2); }
    void U32(uint32_t v) { Put(v, 4); }
    void U8(uint32_t v) { Put(v, 1); }
    // The text and its zero byte.
    void Text(const std::string& t) {
        if (data_ != nullptr && at_ + t.size() + 1 <= size_)
            std::memcpy(data_ + at_, t.data(), t.size());
        at_ += static_cast<uint32_t>(t.size()) + 1;
    }
    Record Take() { return std::move(record_); }

private:
    void Put(uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i, ++at_) {
            if (data_ != nullptr && at_ < size_) data_[at_] = static_cast<uint8_t>(v >> (8 * i));
        }
    }
    Record record_;
    uint8_t* data_;
    uint32_t size_;
    uint32_t at_ = 0;
};

uint32_t Len(const std::string& s) {
    return static_cast<uint32_t>(s.size());
}

// One column of ProcMgrInfo1.
struct Column {
    uint32_t field_id;
    uint32_t data_type;
    unsigned title_id;
    int modes; // bit 0: Windows 95 mode, bit 1: NT mode
};
constexpr int kWin95 = 1, kNt = 2, kBoth = 3;

constexpr Column kProcessColumns[] = {
    {2, 0x00030000, kIdProgramName, kBoth},      {1, 0x00018001, kIdProcessId, kBoth},
    {6, 0x00018001, kIdParentProcessId, kWin95}, {8, 0x00030000, kIdUserId, kNt},
    {4, 0x00010000, kIdNumThreads, kBoth},       {9, 0x00010013, kIdPriority, kBoth},
    {16, 0x00010FF3, kIdMonitored, kBoth},       {17, 0x00010004, kIdMemory, kNt},
};
constexpr Column kServiceColumns[] = {
    {2, 0x00030000, kIdProgramName, kNt},
    {15, 0x00010023, kIdState, kNt},
};

constexpr uint32_t kInfoHeaderFixed = 21; // header length = 21 + name length
constexpr uint32_t kItemFixed = 17;       // record / signal length = 17 + text length
constexpr uint32_t kTextOffset = 16;

struct Signal {
    uint32_t tab;
    uint32_t signal_id;
    unsigned name_id;
};
constexpr Signal kSignals[] = {
    {1, 5, kIdCloseApplication}, {2, 6, kIdPauseService}, {2, 7, kIdContinueService},
    {2, 9, kIdStartService},     {2, 8, kIdStopService},  {3, 9, kIdStartService},
    {3, 8, kIdStopService},
};

struct Enumeration {
    uint16_t id;
    uint16_t count;
    unsigned first_string_id;
};
constexpr Enumeration kPriorities{1, 9, kIdPriorityFirst};
constexpr Enumeration kStates{2, 7, kIdStateFirst};

std::string Text(const StringSource& strings, unsigned id) {
    return ConvertedText(strings ? strings(id) : std::string());
}

} // namespace

std::string ConvertedText(const std::string& ansi) {
    std::string cut = ansi.substr(0, kMaxTextLength);
    if (cut.empty()) return cut;
    TextString t(cut.c_str());
    if (t.ToCompressedUnicode() == 0) return std::string();
    return t.CStr();
}

Record GetProcessManagerInfo(bool win95_mode, const OsVersion& os) {
    const uint8_t os_type = os.platform == kPlatformNt ? kOsTypeNt : kOsTypeWin9x;
    const uint8_t major = static_cast<uint8_t>(os.major);
    const uint32_t flags = win95_mode ? kFlagsWin95 : kFlagsNt;
    const uint32_t groups = win95_mode ? 1 : 3;
    Writer w(kManagerInfoSize);
    w.U32(kManagerVersion);
    w.U8(os_type);
    w.U8(major);
    w.U8(static_cast<uint8_t>(os.minor));
    w.U8(0);
    w.U32(flags);
    w.U32(groups);
    Trace("--RawTable::GetProcessManagerInfo(): os_major_version=%lu, version=0x%.8lx, "
          "os_type=%lu, os_subversion=%lu, flags=0x%.8lx, num_groups=%lu\n",
          static_cast<unsigned long>(major), static_cast<unsigned long>(kManagerVersion),
          static_cast<unsigned long>(os_type), 0UL, static_cast<unsigned long>(flags),
          static_cast<unsigned long>(groups));
    return w.Take();
}

Record GetProcessInfoFields(bool win95_mode, const StringSource& strings) {
    Trace("->RawTable::GetProcessInfoFields(): constructing ProcMgrInfo1\n");
    const int mode = win95_mode ? kWin95 : kNt;
    const uint32_t groups = win95_mode ? 1 : 3;

    struct Block {
        std::string name;
        std::vector<std::pair<const Column*, std::string>> records;
    };
    std::vector<Block> blocks;
    uint32_t size = 0;
    for (uint32_t g = 1; g <= groups; ++g) {
        Block b;
        b.name = ConvertedText(std::to_string(g));
        size += kInfoHeaderFixed + Len(b.name);
        auto add = [&](const Column& c) {
            if ((c.modes & mode) == 0) return;
            b.records.emplace_back(&c, Text(strings, c.title_id));
            size += kItemFixed + Len(b.records.back().second);
        };
        if (g == 1) {
            for (const auto& c : kProcessColumns)
                add(c);
        } else {
            for (const auto& c : kServiceColumns)
                add(c);
        }
        blocks.push_back(std::move(b));
    }

    Writer w(size);
    for (uint32_t g = 1; g <= groups; ++g) {
        const Block& b = blocks[g - 1];
        const uint32_t n = Len(b.name);
        const uint32_t num_records = static_cast<uint32_t>(b.records.size());
        const uint32_t key_field = g == 1 ? 1 : 0;
        const uint32_t monitored = g == 1 ? 1 : 0;
        w.U32(kInfoHeaderFixed + n);
        w.U32(num_records);
        w.U32(key_field);
        w.U32(monitored);
        w.U32(win95_mode ? n + 1 : n);
        w.Text(b.name);
        Trace("--GetProcessInfoFields(): [ProcMgrInfo1Hdr] num_records=%lu, key_field=0x%.8lx, "
              "monitored=%lu\n",
              static_cast<unsigned long>(num_records), static_cast<unsigned long>(key_field),
              static_cast<unsigned long>(monitored));
        for (const auto& [column, title] : b.records) {
            w.U32(kItemFixed + Len(title));
            w.U32(kTextOffset);
            w.U32(column->field_id);
            w.U32(column->data_type);
            w.Text(title);
            Trace(win95_mode ? "--GetProcessInfoFields(): [ProcMgrInfo1Record] field_id=%lu, "
                               "data_type=0x%.8lx\n"
                             : "--GetProcessInfoFields(): [ProcMgrInfo1Record] field_id=0x%.8lx, "
                               "data_type=0x%.8lx\n",
                  static_cast<unsigned long>(column->field_id),
                  static_cast<unsigned long>(column->data_type));
        }
    }
    Trace("<-RawTable::GetProcessInfoFields()\n");
    return w.Take();
}

Record GetProcessKillSignals(bool win95_mode, const StringSource& strings) {
    Trace("->RawTable::GetProcessKillSignals(): get definitions of signals for all gorups\n");
    const size_t count = win95_mode ? 1 : sizeof kSignals / sizeof kSignals[0];
    std::vector<std::string> names;
    uint32_t size = 8;
    for (size_t i = 0; i < count; ++i) {
        names.push_back(Text(strings, kSignals[i].name_id));
        size += kItemFixed + Len(names.back());
    }
    Writer w(size);
    w.U32(8);
    w.U32(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) {
        w.U32(kItemFixed + Len(names[i]));
        w.U32(kTextOffset);
        w.U32(kSignals[i].signal_id);
        w.U32(kSignals[i].tab);
        w.Text(names[i]);
        Trace("--GetProcessKillSignals(): adding signal %lu to tab %lu\n",
              static_cast<unsigned long>(kSignals[i].signal_id),
              static_cast<unsigned long>(kSignals[i].tab));
    }
    Trace("<-RawTable::GetProcessKillSignals(): %lu signals\n", static_cast<unsigned long>(count));
    return w.Take();
}

Record GetStringEnumerations(bool win95_mode, const StringSource& strings) {
    std::vector<Enumeration> enums{kPriorities};
    if (!win95_mode) enums.push_back(kStates);

    std::vector<std::vector<std::string>> texts;
    // The console reserves one byte more per string than the strings take.
    uint32_t size = 2;
    for (const auto& e : enums) {
        size += 4;
        texts.emplace_back();
        for (uint16_t i = 0; i < e.count; ++i) {
            texts.back().push_back(Text(strings, e.first_string_id + i));
            size += Len(texts.back().back()) + 6;
        }
    }
    Writer w(size);
    w.U16(static_cast<uint32_t>(enums.size()));
    for (size_t k = 0; k < enums.size(); ++k) {
        w.U16(enums[k].id);
        w.U16(enums[k].count);
        for (uint16_t i = 0; i < enums[k].count; ++i) {
            const std::string& t = texts[k][i];
            w.U16(i + 1u);
            w.U16(Len(t) + 1);
            w.Text(t);
        }
    }
    return w.Take();
}

std::vector<Record> GetProcessBaseInfo(bool win95_mode, const OsVersion& os,
                                       const StringSource& strings, const char* language_code) {
    Trace("ProcessList::GetProcessBaseInfo\n");
    std::vector<Record> items;
    items.push_back(GetProcessManagerInfo(win95_mode, os));
    Trace("ProcessList::GetProcessBaseInfo: GetProcessManagerInfo returned length %d\n",
          static_cast<int>(items.back().size()));
    items.push_back(GetProcessInfoFields(win95_mode, strings));
    Trace("ProcessList::GetProcessBaseInfo: GetProcessInfoFields returned length %d\n",
          static_cast<int>(items.back().size()));
    items.push_back(GetProcessKillSignals(win95_mode, strings));
    Trace("ProcessList::GetProcessBaseInfo: GetProcessKillSignals returned length %d\n",
          static_cast<int>(items.back().size()));
    items.push_back(GetStringEnumerations(win95_mode, strings));
    Trace("ProcessList::GetProcessBaseInfo: GetStringEnumerations returned length %d\n",
          static_cast<int>(items.back().size()));

    const std::string code = ConvertedText(language_code != nullptr ? language_code : "");
    Writer w(Len(code) + 1);
    w.Text(code);
    items.push_back(w.Take());
    return items;
}

} // namespace pm::baseinfo
