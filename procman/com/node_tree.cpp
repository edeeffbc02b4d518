// Portable: the monitor node tree. Handles are computed from a monitor's key and a leaf number,
// so connecting holds no state; lookups by name and key go through an index rebuilt after the
// set of monitors changed, so reading every value of every monitor stays linear. No OS code
// here.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "procman/com/plugin.h"
#include "shared/text/text_string.h"

namespace pm::monitor {

namespace {

constexpr double kMinutesPerSecond = 0.016666666666666666;

uint8_t* Copy(const uint8_t* bytes, size_t size) {
    auto* b = static_cast<uint8_t*>(std::malloc(size));
    if (b) std::memcpy(b, bytes, size);
    return b;
}

std::string FromCompressed(const std::string& compressed) {
    TextString s(compressed.c_str());
    if (!s.FromCompressedUnicode()) return std::string();
    return s.CStr();
}

} // namespace

void Plugin::LoadNodeNames(const std::string& code) {
    std::string wanted = CatalogLanguage(code);
    if (wanted.empty()) wanted = CatalogLanguage(platform_.LanguageCode());
    // The names of the language already held stay; another language replaces them.
    if (node_names_loaded_ && wanted == node_names_code_) return;
    std::vector<unsigned> ids;
    for (unsigned i = 0; i < kListedLeaves; ++i)
        ids.push_back(kNodeNameFirstId + i);
    const std::vector<std::string> names = platform_.CatalogStringsFor(wanted, ids);
    for (size_t i = 0; i < node_names_.size(); ++i)
        node_names_[i] = i < names.size() ? names[i] : std::string();
    node_names_code_ = wanted;
    node_names_loaded_ = true;
}

uint32_t Plugin::InitNodes() {
    T0(__LINE__, "InitNodes() Entry");
    const std::string code = platform_.LanguageCode();
    TS(__LINE__, "InitNodes() localLangStr = %s", code.c_str());
    LoadNodeNames(code);
    return 1;
}

uint32_t Plugin::TermNodes() {
    for (std::string& n : node_names_)
        n.clear();
    node_names_loaded_ = false;
    node_names_code_.clear();
    return 1;
}

void Plugin::IndexNodes() {
    if (!nodes_dirty_) return;
    node_by_name_.clear();
    node_by_key_.clear();
    node_by_name_.reserve(registry_.Size());
    node_by_key_.reserve(registry_.Size());
    registry_.ForEach([&](ProcMonitor& m) {
        node_by_name_.emplace(std::string_view(m.Name()), &m); // the first one stays
        node_by_key_.emplace(m.Key(), &m);
    });
    nodes_dirty_ = false;
}

ProcMonitor* Plugin::MonitorNamed(const std::string& ansi_name) {
    IndexNodes();
    auto it = node_by_name_.find(ansi_name);
    return it == node_by_name_.end() ? nullptr : it->second;
}

uint8_t* Plugin::GetNodeList(const uint8_t* packet, size_t available) {
    NodePath path;
    if (!ReadNodePathPacket(packet, available, &path)) {
        T0(__LINE__, "!!GetNodeList: malformed node path refused");
        return nullptr;
    }
    const char* field = reinterpret_cast<const char*>(path.language.data());
    const std::string locale = FromCompressed(std::string(field, strnlen(field, 6)));
    TS(__LINE__, "GetNodeList - newLocale = %s", locale.c_str());
    LoadNodeNames(locale);
    TI(__LINE__, "GetNodeList: entered, members = %d", static_cast<long>(path.elements.size()));

    std::vector<NodeListEntry> entries;
    uint8_t leaf_flag = 0;
    if (path.elements.size() == 1) {
        TS(__LINE__, "GetNodeList: mon %s null", registry_.Empty() ? "is" : "is not");
        if (registry_.Empty()) return nullptr;
        entries.reserve(registry_.Size());
        registry_.ForEach([&](ProcMonitor& m) {
            const std::string name = Compressed(m.Name());
            entries.push_back({name, name});
        });
    } else if (path.elements.size() == 2) {
        if (!MonitorNamed(FromCompressed(path.elements[1]))) return nullptr;
        leaf_flag = 1;
        for (unsigned leaf = 1; leaf <= kListedLeaves; ++leaf) {
            char sym[16];
            std::snprintf(sym, sizeof sym, "%08lX", static_cast<unsigned long>(leaf));
            entries.push_back({node_names_[leaf - 1], Compressed(sym)});
        }
    } else {
        return nullptr;
    }
    const std::vector<uint8_t> list = BuildNodeList(path.language, entries, leaf_flag);
    return Copy(list.data(), list.size());
}

uint8_t* Plugin::GetNodeAttributes(uint32_t handle) {
    const std::vector<uint8_t> a = BuildNodeAttributes(Compressed(LeafFormat(HandleLeaf(handle))));
    return Copy(a.data(), a.size());
}

uint32_t Plugin::NodeConnect(const uint8_t* packet, size_t available, uint32_t* handle,
                             uint8_t* found) {
    uint32_t h = kNoHandle;
    if (handle) *handle = h;
    if (found) *found = 0;
    NodePath path;
    if (!ReadNodePathPacket(packet, available, &path)) {
        T0(__LINE__, "!!NodeConnect: malformed node path refused");
        return 0;
    }
    TI(__LINE__, "NodeConnect() Enter, members = %d", static_cast<long>(path.elements.size()));
    ProcMonitor* m = nullptr;
    uint32_t leaf = 0;
    if (path.elements.size() == 3) {
        const std::string name = FromCompressed(path.elements[1]);
        uint32_t number = 0;
        if (!ScanHex8(FromCompressed(path.elements[2]), &number) || number == 0) return 0;
        m = MonitorNamed(name);
        leaf = number;
    } else if (path.elements.size() == 4) {
        if (tracing_) {
            T0(__LINE__, "--- Node connect for process monitors");
            static const char* const kOffsets[] = {"-- offset[0] = %s", "-- offset[1] = %s",
                                                   "-- offset[2] = %s", "-- offset[3] = %s"};
            for (size_t i = 0; i < 4; ++i)
                TS(__LINE__, kOffsets[i], FromCompressed(path.elements[i]).c_str());
        }
        const std::string code_text = FromCompressed(path.elements[2]);
        const std::string name = FromCompressed(path.elements[3]);
        TS(__LINE__, "--- nodeName in string = %s", code_text.c_str());
        uint32_t number = 0;
        if (!ScanDec10(code_text, &number) || number < kFirstAlertCode) return 0;
        T0(__LINE__, "--- nodeKey >= 0x900");
        m = MonitorNamed(name);
        leaf = number - kAlertLeafBase;
    } else {
        return 0;
    }
    if (!m) return 0;
    if (found) *found = 1;
    h = NodeHandle(m->Key(), leaf);
    if (handle) *handle = h;
    return h != kNoHandle ? 1 : 0;
}

uint8_t* Plugin::NodeGetValue(uint32_t handle) {
    const uint32_t key = HandleKey(handle);
    const unsigned leaf = HandleLeaf(handle);
    T0(__LINE__, "NodeGetValue() Enter");
    TI(__LINE__, "----> raw key = %08lX", static_cast<long>(handle));
    TI(__LINE__, "----> parent (process) key = %08lX", static_cast<long>(key));
    TI(__LINE__, "----> leaf node key = %X", static_cast<long>(leaf));
    if (registry_.Empty()) {
        T0(__LINE__, "---- NO monitors to check");
        return nullptr;
    }
    // The whole key is compared with the handle's 28 bits: a monitor whose key has any of its
    // top four bits set cannot be read. A leaf of 0, 14 or 15 reads nothing from any monitor.
    IndexNodes();
    auto it = node_by_key_.find(key);
    if (it == node_by_key_.end() || leaf < 1 || leaf > kLastLeaf) {
        T0(__LINE__, "---- NO monitor match found");
        return nullptr;
    }
    T0(__LINE__, "---- found a matching monitor, check attribute");
    ProcMonitor& m = *it->second;
    double value = 0;
    switch (leaf) {
    case 1:
        value = m.current_count;
        break;
    case 2:
        value = m.new_executions[kToday];
        break;
    case 3:
        value = m.new_executions[kYesterday];
        break;
    case 4:
        value = m.max_running[kToday];
        break;
    case 5:
        value = m.max_running[kYesterday];
        break;
    case 6:
        value = m.execution_seconds[kToday] * kMinutesPerSecond;
        break;
    case 7:
        value = m.execution_seconds[kYesterday] * kMinutesPerSecond;
        break;
    case 8:
        value = m.times_started;
        break;
    case 9:
        value = m.times_stopped;
        break;
    case 10:
        value = m.times_failed;
        break;
    default: {
        const size_t slot = leaf - 11; // started, stopped, failed to start
        const uint32_t counts[3] = {m.times_started, m.times_stopped, m.times_failed};
        if (m.first_read[slot]) {
            m.first_read[slot] = false;
            value = 0;
        } else {
            value = counts[slot];
        }
        break;
    }
    }
    const std::array<uint8_t, kNodeValueSize> v = BuildNodeValue(value);
    uint8_t* out = Copy(v.data(), v.size());
    if (!out) {
        T0(__LINE__, "---- pData failed");
        return nullptr;
    }
    TI(__LINE__, "----> returning dVal = %d", static_cast<long>(value));
    return out;
}

} // namespace pm::monitor
