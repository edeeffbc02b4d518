// Builds performance data blocks laid out the way Windows lays them out: PERF_DATA_BLOCK with
// the system name, one PERF_OBJECT_TYPE, its PERF_COUNTER_DEFINITIONs, then instances, each a
// PERF_INSTANCE_DEFINITION with its UTF-16 name padded to 8 bytes and a PERF_COUNTER_BLOCK.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pm::table::test {

struct CounterDef {
    uint32_t title_index;
    uint32_t offset; // inside the counter block
    uint32_t size;   // 4 or 8
};

struct CounterValue {
    uint32_t offset;
    uint64_t value;
    uint32_t size = 4; // 4 or 8 bytes
};

struct InstanceDef {
    std::u16string name;
    std::vector<CounterValue> values;
};

class PerfBlockBuilder {
public:
    std::vector<CounterDef> counters;
    std::vector<InstanceDef> instances;
    uint32_t counter_block_length = 48;
    int32_t announced_instances = -2; // -2: the real count
    std::u16string system_name = u"TESTHOST";

    static void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
        if (b.size() < at + 4) b.resize(at + 4);
        for (int i = 0; i < 4; ++i)
            b[at + i] = uint8_t(v >> (8 * i));
    }
    static void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
        Put32(b, at, uint32_t(v));
        Put32(b, at + 4, uint32_t(v >> 32));
    }
    static size_t Align8(size_t n) { return (n + 7) & ~size_t(7); }

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> b(88, 0);
        const char16_t sig[4] = {u'P', u'E', u'R', u'F'};
        for (int i = 0; i < 4; ++i) {
            b[2 * i] = uint8_t(sig[i]);
            b[2 * i + 1] = 0;
        }
        Put32(b, 8, 1);  // LittleEndian
        Put32(b, 12, 1); // Version
        // System name after the 88-byte header, then the header length covers it.
        size_t name_at = 88;
        for (char16_t c : system_name + u'\0') {
            b.push_back(uint8_t(c));
            b.push_back(uint8_t(c >> 8));
        }
        size_t header = Align8(b.size());
        b.resize(header, 0);
        Put32(b, 24, uint32_t(header)); // HeaderLength
        Put32(b, 28, 1);                // NumObjectTypes
        Put32(b, 80, uint32_t((system_name.size() + 1) * 2));
        Put32(b, 84, uint32_t(name_at));

        size_t obj = header;
        b.resize(obj + 64, 0);
        size_t defs = obj + 64;
        b.resize(defs + 40 * counters.size(), 0);
        for (size_t i = 0; i < counters.size(); ++i) {
            size_t d = defs + 40 * i;
            Put32(b, d + 0, 40);
            Put32(b, d + 4, counters[i].title_index);
            Put32(b, d + 32, counters[i].size);
            Put32(b, d + 36, counters[i].offset);
        }
        size_t definition_length = b.size() - obj;
        Put32(b, obj + 4, uint32_t(definition_length));
        Put32(b, obj + 8, 64); // HeaderLength
        Put32(b, obj + 12, 230);
        Put32(b, obj + 32, uint32_t(counters.size()));
        Put32(
            b, obj + 40,
            uint32_t(announced_instances == -2 ? int32_t(instances.size()) : announced_instances));

        for (const auto& inst : instances) {
            size_t at = b.size();
            size_t name_bytes = (inst.name.size() + 1) * 2;
            size_t length = Align8(24 + name_bytes);
            b.resize(at + length, 0);
            Put32(b, at + 0, uint32_t(length));
            Put32(b, at + 12, 0xFFFFFFFF); // UniqueID: none
            Put32(b, at + 16, 24);
            Put32(b, at + 20, uint32_t(name_bytes));
            for (size_t k = 0; k < inst.name.size(); ++k) {
                b[at + 24 + 2 * k] = uint8_t(inst.name[k]);
                b[at + 24 + 2 * k + 1] = uint8_t(inst.name[k] >> 8);
            }
            size_t block = b.size();
            b.resize(block + counter_block_length, 0);
            Put32(b, block, counter_block_length);
            for (const auto& v : inst.values) {
                if (v.size == 8)
                    Put64(b, block + v.offset, v.value);
                else
                    Put32(b, block + v.offset, uint32_t(v.value));
            }
        }
        Put32(b, obj + 0, uint32_t(b.size() - obj));
        Put32(b, 20, uint32_t(b.size())); // TotalByteLength
        return b;
    }
};

// The "Counters" registry value: UTF-16LE pairs "index\0name\0", ending with an empty string.
inline std::vector<uint8_t>
CountersValue(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<uint8_t> out;
    auto put = [&](const std::string& s) {
        for (char c : s) {
            out.push_back(uint8_t(c));
            out.push_back(0);
        }
        out.push_back(0);
        out.push_back(0);
    };
    for (const auto& [index, name] : pairs) {
        put(index);
        put(name);
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

} // namespace pm::table::test
