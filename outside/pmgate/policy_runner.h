// The gate's policies over time: one thread that reads the policies from PROCMGR_POLICIES when
// the link connects, whenever a change is heard on the bucket's subjects, before a round when
// the bucket's last revision moved since (a change heard nowhere), and every kRereadMs besides;
// it runs a round of its PolicyKeeper after each read that changed
// something and whenever the machine's shortest interval has passed. Each round's record is
// stored under the machine's own key of PROCMGR_COMPLIANCE and answered by JetStream; a record
// not stored is written again at the next round. A machine no policy names writes no record,
// except once to clear the one it wrote while named. The API's answers come to
// procmgr.<machine>.acks.p<random>-<n>. Portable: standard threads; the gate gives the hooks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/pmgate/gate_bus.h"
#include "outside/pmgate/policy_keeper.h"
#include "shared/nats/protocol_parser.h"

namespace pm::gate {

struct PolicyHooks {
    std::function<bool()> connected;
    std::function<void(const BusMessage& m)> publish;
    std::function<uint64_t()> now_ms; // ms since 1970, UTC
    std::function<void(const std::string& line)> trace;
};

class PolicyRunner {
public:
    PolicyRunner(std::string machine, PolicyHands hands, PolicyHooks hooks);
    PolicyRunner(const PolicyRunner&) = delete;
    PolicyRunner& operator=(const PolicyRunner&) = delete;
    ~PolicyRunner(); // stops and joins

    void Start();
    void Stop();
    // The link has (re)connected: the policies are read again and a round follows.
    void Kick();
    // True when the message was for the runner: a change in the bucket, or an answer.
    bool OnMessage(const nats::Message& m);
    // What the gate subscribes to for the changes.
    static std::string WatchSubject();

    static constexpr uint64_t kRereadMs = 5 * 60 * 1000;
    static constexpr uint64_t kRetryMs = 10 * 1000; // after a failed read, round or store

private:
    void Loop();
    bool Ask(const std::string& subject, const std::string& payload, std::string& answer);
    enum class Read { kFailed, kSame, kChanged };
    Read ReadPolicies();
    bool BucketChanged();
    void Round(uint64_t now);

    const std::string machine_, prefix_, watch_prefix_;
    PolicyKeeper keeper_;
    PolicyHooks hooks_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false, changed_ = false, answered_ = false;
    std::string waiting_for_, answer_;
    uint64_t asks_ = 0;
    std::thread thread_;
    // The loop's own (its thread only).
    std::vector<remote::PolicyAt> policies_;
    bool have_policies_ = false, named_before_ = false;
    uint64_t next_read_ms_ = 0, next_round_ms_ = 0;
    uint64_t read_seq_ = 0; // the bucket's last revision at the last read
};

} // namespace pm::gate
