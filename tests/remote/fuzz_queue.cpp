// What the fleet keeps in JetStream (queued requests, their results, policies, compliance) and the
// API's answers under libFuzzer: any bytes either fail to read or read into a record that is
// written back and read again to the same record; the answers' readers (and the servers' times)
// never read past the bytes and leave their outputs untouched when they fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shared/remote/compliance.h"
#include "shared/remote/policy.h"
#include "shared/remote/queue.h"
#include "shared/remote/server_time.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace r = pm::remote;
    const std::string text(reinterpret_cast<const char*>(data), size);
    r::QueuedRequest q, q2;
    if (r::ParseQueued(text, q) &&
        (!r::ParseQueued(r::QueuedJson(q), q2) || r::QueuedJson(q2) != r::QueuedJson(q)))
        std::abort();
    r::QueueResult a, b;
    if (r::ParseResult(text, a) &&
        (!r::ParseResult(r::ResultJson(a), b) || r::ResultJson(b) != r::ResultJson(a)))
        std::abort();
    std::string s1, s2;
    uint64_t first = 0, last = 0;
    r::StoredMessage(text, s1, s2);
    r::StreamRange(text, first, last);
    r::ApiError(text, s1, first);
    r::ReadStartAnswer(text);
    constexpr uint64_t kUntouched = 0x5eed;
    uint64_t seq = kUntouched, ms = kUntouched;
    if (!r::ReadAckSubject(text, seq, ms) && (seq != kUntouched || ms != kUntouched)) std::abort();
    seq = ms = kUntouched;
    if (!r::ReadLastDelivery(text, seq, ms) && (seq != kUntouched || ms != kUntouched))
        std::abort();
    ms = kUntouched;
    if (!r::ParseUtcTime(text, ms) && ms != kUntouched) std::abort();
    if (r::FromBase64(text, s1) && r::FromBase64(r::Base64(s1), s2) && s1 != s2) std::abort();
    r::Policy p, p2;
    r::PolicyError e;
    if (r::ParsePolicy(text, p, e) && (!r::ParsePolicy(r::PolicyJson(p), p2, e) || !(p2 == p)))
        std::abort();
    if (!r::ParsePolicy(text, p, e)) r::PolicyErrorText(e);
    r::Compliance c, c2;
    if (r::ParseCompliance(text, c) && (!r::ParseCompliance(r::ComplianceJson(c), c2) ||
                                        r::ComplianceJson(c2) != r::ComplianceJson(c)))
        std::abort();
    return 0;
}
