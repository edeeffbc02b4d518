// Portable: no OS calls. The reader never trusts an offset or a length from the block: a bad
// one ends the walk and keeps what was read before it.
#include "procman/w32/table/perf_data.h"

#include <cstring>

#include "shared/base/byte_reader.h"
#include "shared/base/endian.h"

namespace pm::table {
namespace {

// Moves from an offset inside the block by a length from the block. The length is compared
// with what remains before anything is added: with a 32-bit size_t, from + by would wrap and
// could point back at a structure already visited.
bool Advance(size_t size, size_t from, uint32_t by, size_t* to) {
    if (from > size || by > size - from) return false;
    *to = from + by;
    return true;
}

bool EqualsIgnoringCase(const std::u16string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char16_t x = a[i];
        char y = b[i];
        if (x >= u'a' && x <= u'z') x = char16_t(x - u'a' + u'A');
        if (y >= 'a' && y <= 'z') y = char(y - 'a' + 'A');
        if (x != char16_t(static_cast<unsigned char>(y))) return false;
    }
    return true;
}

// Reads one NUL-ended UTF-16LE string starting at *pos; false at the end of the data.
bool NextString(const uint8_t* data, size_t size, size_t* pos, std::u16string* out) {
    out->clear();
    if (*pos + 2 > size) return false;
    while (*pos + 2 <= size) {
        char16_t u = le::Load16(data + *pos);
        *pos += 2;
        if (u == 0) return true;
        out->push_back(u);
    }
    return true; // the last string had no terminator: take it as it is
}

// strtoul(…, 10) on UTF-16: leading blanks, digits; anything else ends the number.
uint32_t ParseIndex(const std::u16string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || s[i] == u'\t'))
        ++i;
    uint32_t v = 0;
    for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i)
        v = v * 10 + uint32_t(s[i] - u'0');
    return v;
}

} // namespace

int MatchCounterTitles(const uint8_t* data, size_t size, PerfCounterTable& table,
                       const std::function<void(int row)>& on_match) {
    int matches = 0;
    size_t pos = 0;
    std::u16string index_text, name;
    while (matches < kPerfRows) {
        if (!NextString(data, size, &pos, &index_text)) break;
        if (!NextString(data, size, &pos, &name)) break;
        uint32_t index = ParseIndex(index_text);
        if (index == 0) continue;
        for (int row = 0; row < kPerfRows; ++row) {
            if (EqualsIgnoringCase(name, table.rows[row].name)) {
                table.rows[row].title_index = index;
                ++matches;
                if (on_match) on_match(row);
                break;
            }
        }
    }
    return matches;
}

PerfReadResult ReadPerfInstances(const uint8_t* data, size_t size, PerfCounterTable& table,
                                 uint32_t* num_instances, std::vector<PerfInstance>& out) {
    *num_instances = 0;
    // The signature: the four UTF-16 characters "PERF".
    static const uint8_t kSignature[8] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
    if (data == nullptr || size < 8 || std::memcmp(data, kSignature, 8) != 0)
        return PerfReadResult::kCheckFailed;

    // Each structure gets its own reader: a bad one ends only its own walk.
    ByteReader header(data, size);
    const size_t object = header.U32At(perf::kBlockHeaderLength);
    if (!header.ok()) return PerfReadResult::kOk;
    ByteReader obj(data, size);
    (void)obj.BytesAt(object, perf::kObjMinSize);
    const uint32_t obj_header = obj.U32At(object + perf::kObjHeaderLength);
    const uint32_t obj_definition = obj.U32At(object + perf::kObjDefinitionLength);
    const uint32_t num_counters = obj.U32At(object + perf::kObjNumCounters);
    uint32_t instances = obj.U32At(object + perf::kObjNumInstances);
    if (!obj.ok()) return PerfReadResult::kOk;
    // NumInstances is a LONG: PERF_NO_INSTANCES (-1) and other negatives mean none.
    if (static_cast<int32_t>(instances) < 0) instances = 0;
    *num_instances = instances;

    if (!table.offsets_resolved) {
        size_t def = 0;
        bool have_def = Advance(size, object, obj_header, &def);
        int matched = 0;
        for (uint32_t visited = 0; have_def && visited < num_counters && matched < kPerfRows;
             ++visited) {
            ByteReader d(data, size);
            (void)d.BytesAt(def, perf::kCounterDefMinSize);
            const uint32_t length = d.U32At(def + perf::kCounterByteLength);
            const uint32_t title = d.U32At(def + perf::kCounterTitleIndex);
            const uint32_t offset = d.U32At(def + perf::kCounterOffset);
            if (!d.ok()) break;
            for (auto& row : table.rows) {
                if (row.title_index != 0 && row.title_index == title) {
                    row.offset = offset;
                    ++matched;
                    break;
                }
            }
            // A zero length would visit the same definition forever.
            if (length == 0 || !Advance(size, def, length, &def)) break;
        }
        table.offsets_resolved = true;
    }

    // A counter value that does not fit inside its counter block reads as 0.
    auto counter = [&](size_t block, uint32_t block_length, PerfRow row) -> uint32_t {
        uint32_t offset = table.rows[row].offset;
        if (offset > block_length || block_length - offset < 4) return 0;
        return ByteReader(data, size).U32At(block + offset);
    };

    out.reserve(out.size() + (instances < 65536 ? instances : 65536));
    size_t inst = 0;
    if (!Advance(size, object, obj_definition, &inst)) return PerfReadResult::kOk;
    for (uint32_t i = 0; i < instances; ++i) {
        ByteReader r(data, size);
        (void)r.BytesAt(inst, perf::kInstMinSize);
        const uint32_t inst_length = r.U32At(inst + perf::kInstByteLength);
        const uint32_t name_offset = r.U32At(inst + perf::kInstNameOffset);
        const uint32_t name_length = r.U32At(inst + perf::kInstNameLength);
        if (!r.ok() || inst_length < perf::kInstMinSize) break;
        size_t block = 0;
        if (!Advance(size, inst, inst_length, &block)) break;
        const uint32_t block_length = r.U32At(block);
        if (!r.ok() || block_length < 4 || r.BytesAt(block, block_length) == nullptr) break;

        PerfInstance pi;
        pi.id_process = counter(block, block_length, kRowIdProcess);
        pi.priority_base = counter(block, block_length, kRowPriorityBase);
        pi.thread_count = counter(block, block_length, kRowThreadCount);
        pi.working_set = counter(block, block_length, kRowWorkingSet);
        // The name lies inside the instance definition; a name that does not is left empty.
        if (name_offset >= perf::kInstMinSize && name_offset <= inst_length &&
            name_length <= inst_length - name_offset) {
            const uint8_t* p = data + inst + name_offset;
            for (uint32_t k = 0; k + 1 < name_length; k += 2) {
                char16_t u = le::Load16(p + k);
                if (u == 0) break;
                pi.name.push_back(u);
            }
        }
        out.push_back(std::move(pi));
        inst = block + block_length; // inside the block: checked above
    }
    return PerfReadResult::kOk;
}

} // namespace pm::table
