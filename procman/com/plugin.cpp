// Portable: lifecycle, definitions and alert fetches. No OS code here.
#include "procman/com/plugin.h"

#include <cstring>

#include "shared/monitor/monitor_name.h"
#include "shared/text/text_string.h"

namespace pm::monitor {

namespace {

constexpr size_t kAttributesNameAt = 20;
constexpr size_t kAttributesNameSize = 64;
constexpr unsigned kAttributesNameId = 2020;
constexpr size_t kMessageFirstRoom = 255; // 254 characters and the NUL
constexpr size_t kMessageLastRoom = 50;   // 49 characters and the NUL

void CopyText(char* out, const std::string& text) {
    if (!out) return;
    std::memcpy(out, text.c_str(), text.size() + 1);
}

std::string Fit(const std::string& text, size_t buffer) {
    return text.size() < buffer ? text : text.substr(0, buffer - 1);
}

std::string ConditionWords(uint8_t conditions) {
    std::string words;
    if (conditions & kCondTermination) words += "TERMINATION ";
    if (conditions & kCondRunning) words += "RUNNING ";
    if (conditions & kCondNotStarted) words += "NOT_STARTED ";
    if (conditions & kCondNewServer) words += "NEW_SERVER ";
    return words;
}

} // namespace

Plugin::Plugin(PluginPlatform& platform) : platform_(platform) {
    WriteU32(&attributes_[0], kAttributesSize);
    WriteU32(&attributes_[4], 300);
    WriteU32(&attributes_[8], kAttributesNameAt);
    WriteU32(&attributes_[12], kMonitorTypeNumber);
    WriteU32(&attributes_[16], kPulseIntervalMs);
}

void Plugin::RecordReferenceDay() {
    reference_day_ = platform_.Local(platform_.Now());
}

// --- tracing ------------------------------------------------------------------------------

void Plugin::T0(int line, const char* fmt) {
    if (tracing_) platform_.Trace0(trace_, line, fmt);
}
void Plugin::TS(int line, const char* fmt, const char* s) {
    if (tracing_) platform_.TraceS(trace_, line, fmt, s);
}
void Plugin::TSS(int line, const char* fmt, const char* s1, const char* s2) {
    if (tracing_) platform_.TraceSS(trace_, line, fmt, s1, s2);
}
void Plugin::TSI(int line, const char* fmt, const char* s, long n) {
    if (tracing_) platform_.TraceSI(trace_, line, fmt, s, n);
}
void Plugin::TI(int line, const char* fmt, long n) {
    if (tracing_) platform_.TraceI(trace_, line, fmt, n);
}
void Plugin::TII(int line, const char* fmt, long n1, long n2) {
    if (tracing_) platform_.TraceII(trace_, line, fmt, n1, n2);
}

// --- lifecycle ----------------------------------------------------------------------------

std::string Plugin::Compressed(const std::string& text) const {
    TextString s(text.c_str());
    s.ToCompressedUnicode(); // on failure the text stays as it is
    return s.CStr();
}

uint32_t Plugin::InitIndepMonitors(const char* dir) {
    if (!tracing_) {
        std::string marker = platform_.LogDirectory();
        if (!marker.empty() && marker.back() != '\\') marker += '\\';
        marker += kTraceMarkerName;
        if (platform_.FileExists(marker)) {
            trace_ = platform_.TraceOpen("TARNVEX.LOG", "TARNVEX.TMP", 1024);
            tracing_ = true;
        }
    }

    if (dir) {
        // The directory and the file name are joined as they stand; a directory that leaves
        // no room for the file name in the path is refused rather than cut.
        const size_t length = std::strlen(dir);
        if (length + std::strlen(kDefinitionsFileName) >= kDefinitionsPathBuffer) {
            path_ok_ = false;
            path_.clear();
            TS(__LINE__, "InitIndepMonitors: definitions directory too long, refused: %s", dir);
        } else {
            directory_ = dir;
            path_ = directory_ + kDefinitionsFileName;
            path_ok_ = true;
        }
    }

    bundle_key_ = Fit(Compressed(kBundleName), kBundleKeyBuffer);
    alert_keys_[0] = Fit(Compressed(AlertKeyText(kAlertTerminated)), kStoppedKeyBuffer);
    alert_keys_[1] = Fit(Compressed(AlertKeyText(kAlertStarted)), kStartedKeyBuffer);
    alert_keys_[2] = Fit(Compressed(AlertKeyText(kAlertFailedToStart)), kFailedKeyBuffer);

    TS(__LINE__, "InitIndepMonitors: Loading from file %s...", path_.c_str());
    LoadDefinitions();

    std::vector<std::string> strings = platform_.CatalogStrings({2014, 2020, 200, 201, 202});
    for (size_t i = 0; i < catalog_.size(); ++i)
        catalog_[i] = i < strings.size() ? strings[i] : std::string();
    return 1;
}

uint32_t Plugin::TermIndepMonitors() {
    for (std::string& s : catalog_)
        s.clear();
    DeleteAllMonitors();
    if (tracing_) {
        T0(__LINE__, "Stopping Process Monitors");
        tracing_ = false;
        platform_.TraceClose(trace_);
        trace_ = 0;
    }
    return 1;
}

const uint8_t* Plugin::GetIndepMonitorAttributes(uint32_t mon_index) {
    char name[kAttributesNameSize + 1] = {};
    int n = platform_.LoadOwnString(kAttributesNameId, name, static_cast<int>(kAttributesNameSize));
    if (n < 0) n = 0;
    if (static_cast<size_t>(n) >= kAttributesNameSize) n = kAttributesNameSize - 1;
    std::memset(&attributes_[kAttributesNameAt], 0, kAttributesNameSize);
    std::memcpy(&attributes_[kAttributesNameAt], name, static_cast<size_t>(n));
    return mon_index == 0 ? attributes_.data() : nullptr;
}

// --- monitors and their file --------------------------------------------------------------

ProcMonitor* Plugin::CreateMonitor(const uint8_t* record, bool convert, const OwnerId& owner) {
    const size_t length = ReadU16(record + kLengthAt);
    const size_t name_offset = ReadU16(record + kNameOffsetAt);
    if (name_offset > kMaxNameOffset || length <= name_offset) return nullptr;
    const char* at = reinterpret_cast<const char*>(record + name_offset);
    std::string name(at, strnlen(at, length - name_offset));
    if (convert) name = ConsoleNameToAnsi(name);
    const std::string bare = BareName(name);
    std::unique_ptr<ProcMonitor> m = BuildMonitor(record, bare, owner);
    if (!m) return nullptr;
    if (tracing_) {
        const std::string words = ConditionWords(m->Conditions());
        TSS(__LINE__, "ProcMonitor::ProcMonitor() Creating monitor for '%s' (%s)", bare.c_str(),
            words.c_str());
    }
    names_dirty_ = true;
    nodes_dirty_ = true;
    return registry_.Link(std::move(m));
}

void Plugin::DeleteMonitor(ProcMonitor* monitor) {
    if (!monitor) return;
    names_dirty_ = true;
    nodes_dirty_ = true;
    registry_.Delete(monitor);
    // The packets of the last MonitorAlert live until the next deletion of any monitor.
    display_packet_.clear();
    display_packet_.shrink_to_fit();
    symbolic_packet_.clear();
    symbolic_packet_.shrink_to_fit();
}

void Plugin::DeleteAllMonitors() {
    while (!registry_.Empty())
        DeleteMonitor(registry_.Head());
}

void Plugin::LoadDefinitions() {
    DeleteAllMonitors();
    if (!path_ok_) return;
    std::vector<uint8_t> bytes;
    if (!platform_.ReadFile(path_, kMaxDefinitionsBytes, bytes)) {
        TS(__LINE__, "InitIndepMonitors: could not open %s", path_.c_str());
        return;
    }
    ParsedDefinitions parsed = ParseDefinitions(bytes.data(), bytes.size());
    for (const DefinitionEntry& e : parsed.entries)
        CreateMonitor(e.record.data(), false, e.owner);
    switch (parsed.stop) {
    case LoadStop::kNoMagic:
        TS(__LINE__, "!!LoadDefinitions: %s has no valid magic", path_.c_str());
        break;
    case LoadStop::kCut:
        TI(__LINE__, "!!LoadDefinitions: entry cut short at offset %ld",
           static_cast<long>(parsed.bad_at));
        break;
    case LoadStop::kBadRecord:
        TI(__LINE__, "!!LoadDefinitions: malformed record at offset %ld, loading stops",
           static_cast<long>(parsed.bad_at));
        break;
    case LoadStop::kEnd:
        break;
    }
}

bool Plugin::SaveDefinitions() {
    if (!path_ok_) return false;
    std::vector<const DefinitionEntry*> entries;
    entries.reserve(registry_.Size());
    registry_.ForEach([&](ProcMonitor& m) { entries.push_back(&m.definition); });
    if (!platform_.ReplaceFile(path_, SerializeDefinitions(entries))) {
        TS(__LINE__, "!!SaveDefinitions: could not replace %s; the previous file stays",
           path_.c_str());
        return false;
    }
    return true;
}

// --- alerts -------------------------------------------------------------------------------

uint32_t Plugin::DoAlert(const ProcMonitor& m, uint8_t kind) {
    PendingAlert a;
    a.alert_level = m.AlertLevel();
    a.kind = kind;
    a.process_name = m.Name();
    a.owner = AlertOwner(m.definition.owner);
    a.event_time = static_cast<uint32_t>(platform_.Now());
    alerts_.Push(std::move(a));
    return 1;
}

const char* Plugin::Intern(const std::string& name) {
    return interned_.insert(name).first->c_str();
}

uint32_t Plugin::GenAlert(uint32_t mon_index, uint8_t* owner, uint32_t* alert_class, char* source,
                          char* text, uint16_t* type_code, uint16_t* level, const char** name_out) {
    if (mon_index != 0) return 0;
    CopyText(source, "ProcMgr");
    if (alert_class) *alert_class = 0x405;
    if (alerts_.Empty()) return 0;
    const PendingAlert& a = alerts_.Front();
    if (text) {
        text[0] = '\0';
        int n = platform_.LoadOwnString(MessageFirstPartId(a.kind), text,
                                        static_cast<int>(kMessageFirstRoom));
        size_t len = n > 0 ? static_cast<size_t>(n) : 0;
        text[len] = '\0';
        std::memcpy(text + len, a.process_name.c_str(), a.process_name.size() + 1);
        len += a.process_name.size();
        n = platform_.LoadOwnString(MessageLastPartId(a.kind), text + len,
                                    static_cast<int>(kMessageLastRoom));
        len += n > 0 ? static_cast<size_t>(n) : 0;
        text[len] = '\0';
    }
    if (type_code) *type_code = AlertTypeCode(a.kind);
    if (level) *level = a.alert_level;
    if (owner) std::memcpy(owner, a.owner.data(), a.owner.size());
    if (name_out) *name_out = Intern(a.process_name);
    const uint8_t kind = a.kind;
    alerts_.Pop();
    if (alert_class) *alert_class = AlertClass(kind);
    return 1;
}

uint32_t Plugin::MonitorAlert(uint32_t mon_index, uint8_t* owner, uint16_t* alert_class,
                              uint32_t* event_time, char* bundle, char* key,
                              const uint8_t** display, const uint8_t** symbolic,
                              const char** name_out) {
    if (mon_index != 0) return 0;
    CopyText(bundle, bundle_key_);
    if (alerts_.Empty()) return 0;
    const PendingAlert& a = alerts_.Front();
    if (owner) std::memcpy(owner, a.owner.data(), a.owner.size());
    if (event_time) *event_time = a.event_time;
    if (alert_class) *alert_class = AlertClass(a.kind);
    const size_t key_slot = a.kind == kAlertTerminated ? 0 : a.kind == kAlertStarted ? 1 : 2;
    CopyText(key, alert_keys_[key_slot]);
    if (name_out) *name_out = Intern(a.process_name);

    const std::string name = Compressed(a.process_name);
    const std::string language = Compressed(platform_.LanguageCode());
    const size_t kind_slot = 2 + (AlertKindStringId(a.kind) - 200);
    display_packet_ =
        BuildNodePathPacket(language, {catalog_[0], catalog_[1], catalog_[kind_slot], name});
    symbolic_packet_ = BuildNodePathPacket(
        language, {Compressed("TARNVEX"), Compressed(TenDigits(kMonitorTypeNumber)),
                   Compressed(TenDigits(AlertTypeCode(a.kind))), name});
    if (display) *display = display_packet_.data();
    if (symbolic) *symbolic = symbolic_packet_.data();
    alerts_.Pop();
    return 1;
}

} // namespace pm::monitor
