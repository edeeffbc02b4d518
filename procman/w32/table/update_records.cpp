// Portable record builders.
#include "procman/w32/table/update_records.h"

#include <cstring>
#include <string>
#include <utility>

namespace pm::table {
namespace {

uint32_t TextLength(const char* s) {
    return s ? static_cast<uint32_t>(std::strlen(s)) : 0;
}

// Writes little-endian fields into a zero-filled block.
class Writer {
public:
    explicit Writer(uint32_t size) : record_(Record::Zeroed(size)), data_(record_.data()) {}
    bool ok() const { return data_ != nullptr; }
    void U16(uint16_t v) {
        data_[pos_++] = uint8_t(v);
        data_[pos_++] = uint8_t(v >> 8);
    }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            data_[pos_++] = uint8_t(v >> (8 * i));
    }
    void Bytes(const char* s, uint32_t n) {
        if (n) std::memcpy(data_ + pos_, s, n);
        pos_ += n;
    }
    void Header(uint32_t proc_id, uint32_t group, uint16_t num_attribs) {
        U16(kRecUpdate);
        U32(proc_id);
        U32(group);
        U16(num_attribs);
        U16(kUpdateHeaderSize);
    }
    void Number(uint32_t field, uint32_t value, const AttribObserver& observe) {
        U16(kNumberAttribSize);
        U32(field);
        U32(value);
        if (observe) observe(field, nullptr, value);
    }
    void Text(uint32_t field, const char* text, const AttribObserver& observe) {
        uint32_t n = TextLength(text);
        U16(static_cast<uint16_t>(n + kTextAttribOverhead));
        U32(field);
        Bytes(text, n);
        ++pos_; // the terminating zero is already there
        if (observe) observe(field, text ? text : "", 0);
    }
    Record Finish() { return std::move(record_); }

private:
    Record record_;
    uint8_t* data_;
    uint32_t pos_ = 0;
};

// An attribute's length field is 16 bits: a longer text is cut so that the record stays
// readable (a stored name never comes near this in practice).
std::string Bounded(const char* text) {
    uint32_t length = TextLength(text);
    if (length > 0xFFFF - kTextAttribOverhead) length = 0xFFFF - kTextAttribOverhead;
    return std::string(text ? text : "", length);
}

} // namespace

uint32_t PriorityIndex(uint32_t b) {
    if (b <= 4) return 1;
    if (b <= 9) return 4;
    if (b <= 13) return 6;
    return 8;
}

Record BuildProcessUpdateRecord(const ProcessRecordFields& f, bool win95_mode,
                                const AttribObserver& observe) {
    const std::string name = Bounded(f.name);
    const std::string user = Bounded(f.user_name);
    const uint32_t name_len = static_cast<uint32_t>(name.size());
    const uint32_t user_len = static_cast<uint32_t>(user.size());
    uint32_t size = win95_mode ? 71 + name_len : 78 + name_len + user_len;
    Writer w(size);
    if (!w.ok()) return {};
    w.Header(f.process_id, 1, win95_mode ? 6 : 7);
    w.Text(kFieldProgramName, name.c_str(), observe);
    w.Number(kFieldProcessId, f.process_id, observe);
    if (win95_mode)
        w.Number(kFieldParentProcessId, f.parent_process_id, observe);
    else
        w.Text(kFieldUserId, user.c_str(), observe);
    w.Number(kFieldNumThreads, f.thread_count, observe);
    w.Number(kFieldPriority, PriorityIndex(f.base_priority), observe);
    w.Number(kFieldMonitored, f.monitored, observe);
    if (!win95_mode) w.Number(kFieldMemory, f.working_set, observe);
    return w.Finish();
}

Record BuildServiceUpdateRecord(const char* display_name, uint32_t state, uint32_t group,
                                const AttribObserver& observe) {
    const std::string name = Bounded(display_name);
    Writer w(31 + static_cast<uint32_t>(name.size()) + kServiceRecordTail);
    if (!w.ok()) return {};
    w.Header(0, group, 2);
    w.Text(kFieldProgramName, name.c_str(), observe);
    w.Number(kFieldState, state, observe);
    return w.Finish();
}

Record BuildValidProcIds(const uint32_t* ids, uint32_t count) {
    if (count > kMaxValidProcIds) count = kMaxValidProcIds;
    Writer w(6 + 4 * count);
    if (!w.ok()) return {};
    w.U16(kRecValidProcIds);
    w.U16(static_cast<uint16_t>(count));
    w.U16(1);
    for (uint32_t i = 0; i < count; ++i)
        w.U32(ids[i]);
    return w.Finish();
}

} // namespace pm::table
