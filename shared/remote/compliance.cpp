// Portable: compliance records.
#include "shared/remote/compliance.h"

#include <nlohmann/json.hpp>

#include "shared/remote/json_text.h"

namespace pm::remote {
namespace {

using Json = nlohmann::json;

template <typename T> bool Word(const std::string& text, T& out, const char* (*name)(T), int n) {
    for (int i = 0; i < n; ++i)
        if (text == name(static_cast<T>(i))) {
            out = static_cast<T>(i);
            return true;
        }
    return false;
}

bool Str(const Json& o, const char* key, std::string& out) {
    const auto it = o.find(key);
    if (it == o.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

} // namespace

MachineCompliance Standing(const Compliance& c) {
    MachineCompliance s = MachineCompliance::kCompliant;
    for (const ItemReport& r : c.items) {
        if (r.state == ItemState::kConflict) return MachineCompliance::kConflict;
        if (r.state != ItemState::kCompliant) s = MachineCompliance::kDrifted;
    }
    return s;
}

namespace {

nlohmann::ordered_json Items(const std::vector<ItemReport>& items) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const ItemReport& r : items)
        out.push_back({{"policy", r.policy},
                       {"revision", r.revision},
                       {"kind", ItemKindText(r.kind)},
                       {"name", r.name},
                       {"state", ItemStateText(r.state)},
                       {"saw", r.saw},
                       {"did", r.did}});
    return out;
}

} // namespace

std::string ItemsJson(const std::vector<ItemReport>& items) {
    return JsonText(Items(items));
}

std::string ComplianceJson(const Compliance& c) {
    return JsonText(nlohmann::ordered_json{
        {"machine", c.machine}, {"time_ms", c.time_ms}, {"items", Items(c.items)}});
}

bool ParseCompliance(const std::string& text, Compliance& out) {
    if (text.size() > kMaxComplianceBytes) return false;
    const Json doc = Json::parse(text, nullptr, false);
    if (!doc.is_object()) return false;
    Compliance c;
    const auto time = doc.find("time_ms");
    const auto items = doc.find("items");
    if (!Str(doc, "machine", c.machine) || time == doc.end() || !time->is_number_unsigned() ||
        items == doc.end() || !items->is_array())
        return false;
    c.time_ms = time->get<uint64_t>();
    for (const Json& i : *items) {
        if (!i.is_object()) return false;
        ItemReport r;
        std::string kind, state;
        const auto rev = i.find("revision");
        if (!Str(i, "policy", r.policy) || !Str(i, "kind", kind) || !Str(i, "name", r.name) ||
            !Str(i, "state", state) || !Str(i, "saw", r.saw) || !Str(i, "did", r.did) ||
            rev == i.end() || !rev->is_number_unsigned() ||
            !Word<ItemKind>(kind, r.kind, &ItemKindText, 3) ||
            !Word<ItemState>(state, r.state, &ItemStateText, 4))
            return false;
        r.revision = rev->get<uint64_t>();
        c.items.push_back(std::move(r));
    }
    out = std::move(c);
    return true;
}

std::string ComplianceBucketJson(uint32_t replicas) {
    Json c;
    c["name"] = kComplianceStream;
    c["subjects"] = Json::array({std::string("$KV.") + kComplianceBucket + ".>"});
    c["retention"] = "limits";
    c["storage"] = "file";
    c["num_replicas"] = replicas;
    c["max_msgs_per_subject"] = 1;
    c["max_msg_size"] = kMaxComplianceBytes;
    c["discard"] = "old";
    c["allow_rollup_hdrs"] = true;
    c["deny_delete"] = true;
    c["allow_direct"] = true;
    return c.dump();
}

std::string ComplianceSubject(const std::string& machine) {
    return std::string("$KV.") + kComplianceBucket + "." + machine;
}

} // namespace pm::remote
