// A machine's compliance, as its gate writes it after each reconciliation: the bucket
// PROCMGR_COMPLIANCE, one key per machine ("$KV.PROCMGR_COMPLIANCE.<machine>", which only that
// machine may write), the latest record only. Portable: no OS code and no NATS here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/remote/policy_plan.h"

namespace pm::remote {

constexpr const char* kComplianceBucket = "PROCMGR_COMPLIANCE";
constexpr const char* kComplianceStream = "KV_PROCMGR_COMPLIANCE";
constexpr size_t kMaxComplianceBytes = 1024 * 1024;

struct Compliance {
    std::string machine;
    uint64_t time_ms = 0; // UTC, when the gate finished the reconciliation
    std::vector<ItemReport> items;
};

// How a machine stands, from its items: conflict over drift over compliant (failed items
// count as drift).
enum class MachineCompliance : uint8_t { kCompliant, kDrifted, kConflict };
MachineCompliance Standing(const Compliance& c);

std::string ComplianceJson(const Compliance& c);
// The record's items alone, as ComplianceJson writes them: a JSON array.
std::string ItemsJson(const std::vector<ItemReport>& items);
// False when the bytes are no compliance record (or longer than kMaxComplianceBytes).
bool ParseCompliance(const std::string& text, Compliance& out);

std::string ComplianceBucketJson(uint32_t replicas);
std::string ComplianceSubject(const std::string& machine);

} // namespace pm::remote
