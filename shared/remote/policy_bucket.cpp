// Portable: the policies' bucket through the JetStream API.
#include "shared/remote/policy_bucket.h"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

#include "shared/remote/policy.h"
#include "shared/remote/queue.h"

namespace pm::remote {
namespace {

using Json = nlohmann::json;

const std::string kPrefix = std::string("$KV.") + kPolicyBucket + ".";

// The answer as JSON; null when it is not an object.
Json Parse(const std::string& answer) {
    Json j = Json::parse(answer, nullptr, false);
    return j.is_object() ? j : Json();
}

std::string Str(const Json& o, const char* key) {
    const auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

std::string PolicyBucketJson(uint32_t replicas) {
    Json c;
    c["name"] = kPolicyStream;
    c["subjects"] = Json::array({kPrefix + ">"});
    c["retention"] = "limits";
    c["storage"] = "file";
    c["num_replicas"] = replicas;
    c["max_msgs_per_subject"] = kPolicyHistory;
    c["max_msg_size"] = kMaxPolicyBytes;
    c["discard"] = "new";
    c["allow_rollup_hdrs"] = true;
    c["deny_delete"] = true;
    c["allow_direct"] = true;
    return c.dump();
}

std::string PolicySubject(const std::string& name) {
    return kPrefix + name;
}

std::string PolicyOfSubject(const std::string& subject) {
    if (subject.compare(0, kPrefix.size(), kPrefix) != 0) return std::string();
    const std::string name = subject.substr(kPrefix.size());
    return ValidPolicyName(name) ? name : std::string();
}

std::string LastBySubjectRequest(const std::string& subject) {
    return Json{{"last_by_subj", subject}}.dump();
}

std::string NextRevisionRequest(const std::string& name, uint64_t seq) {
    return Json{{"seq", seq}, {"next_by_subj", PolicySubject(name)}}.dump();
}

std::string RevisionRequest(uint64_t seq) {
    return Json{{"seq", seq}}.dump();
}

bool ReadPolicyRevision(const std::string& answer, PolicyRevision& out) {
    const Json a = Parse(answer);
    const auto m = a.find("message");
    if (a.is_null() || m == a.end() || !m->is_object()) return false;
    const auto seq = m->find("seq");
    if (seq == m->end() || !seq->is_number_unsigned()) return false;
    PolicyRevision r;
    r.name = PolicyOfSubject(Str(*m, "subject"));
    r.revision = seq->get<uint64_t>();
    r.time = Str(*m, "time");
    if (r.name.empty() || r.revision == 0) return false;
    std::string headers;
    if (!FromBase64(Str(*m, "hdrs"), headers) || !FromBase64(Str(*m, "data"), r.document))
        return false;
    // A delete or purge marker; header names compare without case.
    std::string lower = headers;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    r.deleted = lower.find("\r\nkv-operation: del") != std::string::npos ||
                lower.find("\r\nkv-operation: purge") != std::string::npos;
    out = std::move(r);
    return true;
}

std::string BucketKeysRequest(const std::string& bucket) {
    return Json{{"subjects_filter", "$KV." + bucket + ".>"}}.dump();
}

bool ReadBucketKeys(const std::string& answer, const std::string& bucket,
                    std::vector<std::string>& keys) {
    const Json a = Parse(answer);
    const auto state = a.is_null() ? a.end() : a.find("state");
    if (a.is_null() || state == a.end() || !state->is_object()) return false;
    const std::string prefix = "$KV." + bucket + ".";
    keys.clear();
    const auto subjects = state->find("subjects");
    if (subjects != state->end() && subjects->is_object())
        for (const auto& s : subjects->items())
            if (s.key().compare(0, prefix.size(), prefix) == 0 && s.key().size() > prefix.size())
                keys.push_back(s.key().substr(prefix.size()));
    std::sort(keys.begin(), keys.end());
    return true;
}

bool ReadPolicies(const ApiAsk& ask, std::vector<PolicyRevision>& out, std::string& error,
                  uint64_t* last_seq) {
    const std::string api = std::string("$JS.API.STREAM.");
    std::string answer, description;
    uint64_t code = 0;
    std::vector<std::string> names;
    if (!ask(api + "INFO." + kPolicyStream, BucketKeysRequest(kPolicyBucket), answer)) {
        error = std::string("no answer from JetStream (not permitted, or the bucket ") +
                kPolicyBucket + " does not exist)";
        return false;
    }
    if (ApiError(answer, description, code) || !ReadBucketKeys(answer, kPolicyBucket, names)) {
        error = description.empty() ? "an unreadable answer from JetStream" : description;
        return false;
    }
    uint64_t first = 0, last = 0;
    if (last_seq != nullptr) *last_seq = StreamRange(answer, first, last) ? last : 0;
    std::vector<PolicyRevision> read;
    for (const std::string& name : names) {
        if (!ValidPolicyName(name)) continue;
        PolicyRevision r;
        if (!ask(api + "MSG.GET." + kPolicyStream, LastBySubjectRequest(PolicySubject(name)),
                 answer)) {
            error = "JetStream stopped answering";
            return false;
        }
        // Gone between the two requests: as if deleted.
        if (ApiError(answer, description, code)) continue;
        if (!ReadPolicyRevision(answer, r) || r.name != name) {
            error = "an unreadable answer from JetStream";
            return false;
        }
        if (!r.deleted) read.push_back(std::move(r));
    }
    out = std::move(read);
    return true;
}

} // namespace pm::remote
