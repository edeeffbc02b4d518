// Tick arithmetic and the per-node dispatcher: order, ticks, no overlap, stop semantics. Periods
// are short and the checks on time are loose: they test behaviour, not speed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "outside/kavipc32/node_dispatcher.h"
#include "outside/kavipc32/tick_schedule.h"

using kavipc::NodeDispatcher;
using kavipc::TickSchedule;

namespace {

struct Recorder {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<intptr_t> messages;
    std::vector<uint32_t> ticks;
    std::vector<intptr_t> released;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};

    NodeDispatcher::Callback Callback(int sleep_ms = 0) {
        return [this, sleep_ms](void* m, uint32_t elapsed) {
            if (inside.fetch_add(1) != 0) overlaps++;
            if (sleep_ms) std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
            {
                std::lock_guard<std::mutex> lock(mu);
                if (m != nullptr) {
                    messages.push_back(reinterpret_cast<intptr_t>(m));
                } else {
                    ticks.push_back(elapsed);
                }
            }
            inside.fetch_sub(1);
            cv.notify_all();
        };
    }
    NodeDispatcher::Release Release() {
        return [this](void* m) {
            std::lock_guard<std::mutex> lock(mu);
            released.push_back(reinterpret_cast<intptr_t>(m));
        };
    }
    template <typename Pred> bool WaitFor(Pred p, int ms = 5000) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), p);
    }
};

// Waits, 1 ms at a time and at most 10 s, while `cond` holds.
template <typename Cond> void SpinWhile(Cond cond) {
    for (int i = 0; i < 10000 && cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void* Msg(intptr_t i) {
    return reinterpret_cast<void*>(i);
}

} // namespace

// ---- tick arithmetic: due times, real elapsed values, late ticks ----------------------------

TEST(TickScheduleTest, ElapsedIsTheRealTimeSinceThePreviousTick) {
    struct Step {
        uint64_t now;
        uint32_t elapsed;
        uint64_t next_wait_from_now;
    };
    TickSchedule t(250);
    t.Start(1000); // the first tick one period later
    EXPECT_FALSE(t.Due(1249));
    EXPECT_EQ(t.WaitMs(1200), 50u);
    EXPECT_EQ(t.WaitMs(1300), 0u); // overdue: at once
    const Step steps[] = {
        {1250, 250, 250},                    // on time
        {1510, 260, 240},                    // a little late: the schedule keeps its rhythm
        {1750, 240, 250}, {2900, 1150, 250}, // very late: no burst of missed ticks
        {3150, 250, 250},
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(t.Due(s.now)) << s.now;
        EXPECT_EQ(t.SinceLast(s.now), s.elapsed) << s.now; // takes no tick
        EXPECT_EQ(t.Take(s.now), s.elapsed) << s.now;
        EXPECT_EQ(t.WaitMs(s.now), s.next_wait_from_now) << s.now;
    }
}

TEST(TickScheduleTest, EdgeValues) {
    TickSchedule zero(0);
    EXPECT_EQ(zero.period(), 1u); // never a busy loop
    TickSchedule t(250);
    t.Start(1000);
    EXPECT_EQ(t.Take(1000), 1u);     // a tick reports at least 1 ms
    EXPECT_EQ(t.SinceLast(500), 0u); // a clock that went back reads as 0
    t.Start(0);
    EXPECT_EQ(t.Take(0x1FFFFFFFFull), 0xFFFFFFFFu);
}

// ---- the dispatcher ------------------------------------------------------------------------

TEST(NodeDispatcherTest, DeliversMessagesInOrder) {
    Recorder r;
    NodeDispatcher d(r.Callback(), r.Release(), 10000);
    for (intptr_t i = 1; i <= 100; ++i)
        ASSERT_TRUE(d.Post(Msg(i)));
    ASSERT_TRUE(r.WaitFor([&] { return r.messages.size() == 100; }));
    for (intptr_t i = 1; i <= 100; ++i)
        EXPECT_EQ(r.messages[i - 1], i);
}

TEST(NodeDispatcherTest, TicksCarryPlausibleElapsedTimes) {
    Recorder r;
    NodeDispatcher d(r.Callback(), r.Release(), 20);
    ASSERT_TRUE(r.WaitFor([&] { return r.ticks.size() >= 5; }));
    d.Stop();
    // A late tick is followed by an early one (the schedule keeps its rhythm), so only the
    // average is about the period; each is real time, never 0.
    uint64_t sum = 0;
    for (uint32_t e : r.ticks) {
        EXPECT_GE(e, 1u);
        EXPECT_LT(e, 2000u);
        sum += e;
    }
    EXPECT_GE(sum, 15u * r.ticks.size());
}

// While a callback runs the queue is bounded by count and bytes; Stop waits for that callback,
// releases what is queued and refuses new messages.
TEST(NodeDispatcherTest, QueueIsBoundedAndStopReleasesWhatIsQueued) {
    Recorder r;
    std::atomic<bool> go{false}, entered{false};
    NodeDispatcher d(
        [&](void*, uint32_t) {
            entered = true;
            SpinWhile([&] { return !go.load(); });
        },
        r.Release(), 10000, 3, 1000);
    ASSERT_TRUE(d.Post(Msg(1), 10)); // taken by the callback, which waits
    SpinWhile([&] { return !entered.load(); });
    EXPECT_TRUE(d.Post(Msg(2), 10));
    EXPECT_TRUE(d.Post(Msg(3), 10));
    EXPECT_FALSE(d.Post(Msg(4), 981)); // 20 queued + 981 > 1000 bytes
    EXPECT_TRUE(d.Post(Msg(5), 980));
    EXPECT_FALSE(d.Post(Msg(6), 0)); // three queued: full by count
    std::thread stopper([&] { d.Stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    go = true; // Stop waits for the callback in progress
    stopper.join();
    EXPECT_EQ(r.released, (std::vector<intptr_t>{2, 3, 5}));
    EXPECT_FALSE(d.Post(Msg(7)));
}

TEST(NodeDispatcherTest, StopFromTheCallbackDoesNotWaitForItself) {
    Recorder r;
    std::unique_ptr<NodeDispatcher> self;
    std::atomic<bool> done{false};
    std::mutex ready;
    std::unique_lock<std::mutex> hold(ready); // the callback runs only once `self` is set
    self = std::make_unique<NodeDispatcher>(
        [&](void*, uint32_t) {
            std::lock_guard<std::mutex> wait(ready);
            EXPECT_TRUE(self->OnOwnThread());
            self.reset(); // Stop and destroy from inside the callback
            done = true;
        },
        r.Release(), 10000);
    ASSERT_TRUE(self->Post(Msg(1)));
    hold.unlock();
    SpinWhile([&] { return !done.load(); });
    EXPECT_TRUE(done.load());
}

TEST(NodeDispatcherTest, DeliveryInPlaceRunsOnTheCallersThreadOnlyWhenIdle) {
    Recorder r;
    std::thread::id ran_on;
    std::atomic<bool> hold{false};
    std::atomic<bool> entered{false};
    NodeDispatcher d(
        [&](void* m, uint32_t) {
            if (m == nullptr) return;
            ran_on = std::this_thread::get_id();
            entered = true;
            SpinWhile([&] { return hold.load(); });
        },
        r.Release(), 100000);
    ASSERT_TRUE(d.TryDeliverHere(Msg(1)));
    EXPECT_EQ(ran_on, std::this_thread::get_id());

    // While a callback runs, nothing is delivered in place: the message queues behind it.
    hold = true;
    entered = false;
    std::thread busy([&] { EXPECT_TRUE(d.TryDeliverHere(Msg(2))); });
    SpinWhile([&] { return !entered.load(); });
    EXPECT_FALSE(d.TryDeliverHere(Msg(3)));
    EXPECT_TRUE(d.Post(Msg(3)));
    EXPECT_FALSE(d.TryDeliverHere(Msg(4))); // a message is queued: order first
    hold = false;
    busy.join();
    d.Stop();
}

// Ticks, queued messages and deliveries in place from four threads: never two at once.
TEST(NodeDispatcherTest, CallbacksNeverOverlapWithDeliveriesInPlace) {
    Recorder r;
    NodeDispatcher d(r.Callback(1), r.Release(), 2);
    std::vector<std::thread> senders;
    std::atomic<intptr_t> next{1};
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                void* m = Msg(next++);
                if (!d.TryDeliverHere(m)) {
                    EXPECT_TRUE(d.Post(m));
                }
            }
        });
    }
    for (auto& t : senders)
        t.join();
    EXPECT_TRUE(r.WaitFor([&] { return r.messages.size() == 100 && r.ticks.size() >= 2; }));
    d.Stop();
    EXPECT_EQ(r.overlaps.load(), 0);
}

TEST(NodeDispatcherTest, StopFromADeliveryInPlaceDoesNotWaitForItself) {
    Recorder r;
    std::unique_ptr<NodeDispatcher> d;
    d = std::make_unique<NodeDispatcher>(
        [&](void* m, uint32_t) {
            if (m != nullptr) d->Stop();
        },
        r.Release(), 100000);
    EXPECT_TRUE(d->TryDeliverHere(Msg(1))); // returns: Stop did not wait for this callback
    EXPECT_FALSE(d->Post(Msg(2)));
}

// The dispatcher waits for its next tick (here 100 s away) while a callback runs in place; a
// message queued meanwhile must still follow as soon as that callback ends, and Stop must not
// wait for the tick either.
TEST(NodeDispatcherTest, MessageQueuedBehindADeliveryInPlaceFollowsAtOnce) {
    Recorder r;
    std::atomic<bool> hold{true};
    std::atomic<bool> entered{false};
    auto record = r.Callback();
    NodeDispatcher d(
        [&](void* m, uint32_t elapsed) {
            if (m == Msg(1)) {
                entered = true;
                SpinWhile([&] { return hold.load(); });
            }
            record(m, elapsed);
        },
        r.Release(), 100000);
    std::thread in_place([&] { EXPECT_TRUE(d.TryDeliverHere(Msg(1))); });
    SpinWhile([&] { return !entered.load(); });
    ASSERT_TRUE(d.Post(Msg(2)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the dispatcher sees it busy
    hold = false;
    in_place.join();
    EXPECT_TRUE(r.WaitFor([&] { return r.messages.size() == 2; }));
    d.Stop();
    EXPECT_EQ(r.messages, (std::vector<intptr_t>{1, 2}));
}
