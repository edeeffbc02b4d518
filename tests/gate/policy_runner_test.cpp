// The gate's policies over time, against a scripted JetStream: read and kept on connect, and a
// change the gate never heard (no message on the bucket's subjects) still found at the next
// round through the bucket's last revision.
#include "outside/pmgate/policy_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "shared/remote/policy_bucket.h"
#include "shared/remote/queue.h"

namespace pm::gate {
namespace {

// One policy "p" naming every machine, at revision `seq`, monitoring `exe`.
struct Bucket {
    std::mutex lock;
    uint64_t seq = 1;
    std::string exe = "A.EXE";

    std::string Answer(const std::string& subject) {
        std::lock_guard<std::mutex> hold(lock);
        const std::string doc = R"({"name": "p", "machines": "*", "interval": 5,
            "monitors": {")" + exe +
                                R"(": {}}})";
        if (subject.find("STREAM.INFO") != std::string::npos)
            return R"({"state":{"first_seq":1,"last_seq":)" + std::to_string(seq) +
                   R"(,"subjects":{"$KV.PROCMGR_POLICIES.p":1}}})";
        if (subject.find("MSG.GET") != std::string::npos)
            return R"({"message":{"subject":"$KV.PROCMGR_POLICIES.p","seq":)" +
                   std::to_string(seq) + R"(,"data":")" + remote::Base64(doc) +
                   R"(","time":"2026-01-01T00:00:00Z"}})";
        return R"({"stream":"KV_PROCMGR_COMPLIANCE","seq":7})"; // a record stored
    }
};

TEST(PolicyRunner, AChangeHeardNowhereIsFoundAtTheNextRound) {
    Bucket bucket;
    std::atomic<uint64_t> now{1700000000000};
    std::mutex lock;
    std::vector<std::string> kept; // the monitor each round's plan would add
    PolicyRunner* runner_ptr = nullptr;
    std::vector<std::thread> answering; // joined before the runner goes
    PolicyHands hands;
    hands.observe = [](remote::Seen&) { return true; };
    hands.act = [&](const remote::Action& a) {
        std::lock_guard<std::mutex> hold(lock);
        kept.push_back(a.name);
        return std::string();
    };
    PolicyHooks hooks;
    hooks.connected = [] { return true; };
    hooks.now_ms = [&] { return now.load(); };
    hooks.trace = [](const std::string&) {};
    // Each question answered from another thread, as the link's reading thread would.
    hooks.publish = [&](const BusMessage& m) {
        if (m.reply.empty()) return;
        nats::Message answer;
        answer.subject = m.reply;
        answer.payload = bucket.Answer(m.subject);
        std::lock_guard<std::mutex> hold(lock);
        answering.emplace_back([&, answer] { runner_ptr->OnMessage(answer); });
    };
    PolicyRunner runner("m1", hands, hooks);
    runner_ptr = &runner;
    runner.Start();
    runner.Kick(); // connected
    const auto wait_for = [&](const std::string& exe) {
        for (int i = 0; i < 100; ++i) {
            {
                std::lock_guard<std::mutex> hold(lock);
                if (!kept.empty() && kept.back() == exe) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    EXPECT_TRUE(wait_for("A.EXE"));
    {
        std::lock_guard<std::mutex> hold(bucket.lock);
        bucket.seq = 2;
        bucket.exe = "B.EXE";
    }
    now += 6000; // past the interval, no change heard
    EXPECT_TRUE(wait_for("B.EXE"));
    runner.Stop();
    std::lock_guard<std::mutex> hold(lock);
    for (std::thread& t : answering)
        t.join();
}

} // namespace
} // namespace pm::gate
