// The policies' key-value bucket in JetStream: the stream KV_PROCMGR_POLICIES, one subject per
// policy ("$KV.PROCMGR_POLICIES.<name>"), each change a new revision (the stream's sequence)
// and the last 64 kept, a deletion a revision with the header "KV-Operation: DEL". Portable:
// the API's requests and answers only, no NATS here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pm::remote {

constexpr const char* kPolicyStream = "KV_PROCMGR_POLICIES";
constexpr uint32_t kPolicyHistory = 64;
// The headers of a deletion (a KV delete marker).
constexpr const char* kPolicyDeleteHeaders = "NATS/1.0\r\nKV-Operation: DEL\r\n\r\n";

// $JS.API.STREAM.CREATE.KV_PROCMGR_POLICIES: the bucket with `replicas` copies.
std::string PolicyBucketJson(uint32_t replicas);
std::string PolicySubject(const std::string& name); // "$KV.PROCMGR_POLICIES.<name>"
// The name a bucket subject stands for; empty when it is not one of a valid name.
std::string PolicyOfSubject(const std::string& subject);

// $JS.API.STREAM.MSG.GET requests: the last message on a subject (a key's value in a bucket);
// the first revision of a policy at or after `seq`; revision `seq` itself.
std::string LastBySubjectRequest(const std::string& subject);
std::string NextRevisionRequest(const std::string& name, uint64_t seq);
std::string RevisionRequest(uint64_t seq);

// One stored revision, from a MSG.GET answer.
struct PolicyRevision {
    std::string name;
    uint64_t revision = 0;
    std::string time; // as the server wrote it (RFC 3339, UTC)
    bool deleted = false;
    std::string document;
};
// False when the answer is no stored message of the bucket (an error answer, or bytes).
bool ReadPolicyRevision(const std::string& answer, PolicyRevision& out);

// $JS.API.STREAM.INFO for a bucket ("PROCMGR_POLICIES") with the subjects it holds, and its
// answer's keys (sorted; what follows "$KV.<bucket>.", unchecked).
std::string BucketKeysRequest(const std::string& bucket);
bool ReadBucketKeys(const std::string& answer, const std::string& bucket,
                    std::vector<std::string>& keys);

// One request to the JetStream API and its answer; false when none came.
using ApiAsk = std::function<bool(const std::string& subject, const std::string& payload,
                                  std::string& answer)>;
// Every policy's last revision, by name (deleted ones left out). False with one line in
// `error` when the bucket cannot be read: a reader must then not act as if there were none.
// `last_seq`, when given, is the bucket's last revision at the read (0: unknown).
bool ReadPolicies(const ApiAsk& ask, std::vector<PolicyRevision>& out, std::string& error,
                  uint64_t* last_seq = nullptr);

} // namespace pm::remote
