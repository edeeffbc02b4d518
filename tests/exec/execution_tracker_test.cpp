// The bookkeeping of running executions with real threads (natively under ASan): the agent's
// shutdown waits for replies in progress, and nothing replies through the node once it is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "procman/w32/exec/execution_tracker.h"
#include "shared/base/secure_wipe.h"

namespace pm::exec {
namespace {

// A gate the test opens once.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// What an execution thread replies through: freed once Close has returned, so that ASan sees
// any touch after that.
struct Node {
    std::atomic<int> replies{0};
};

TEST(ExecutionTracker, ShutdownWaitsForRepliesInProgressAndNoneComesAfter) {
    ExecutionTracker tracker(8);
    auto node = std::make_unique<Node>();
    Node* shared = node.get();
    Gate in_reply, reply_may_end, children_end;
    std::atomic<int> ended_silently{0};
    std::vector<std::thread> threads;
    // One execution is in the middle of its reply when the agent stops.
    ASSERT_TRUE(tracker.TryStart());
    threads.emplace_back([&, shared] {
        in_reply.Open();
        reply_may_end.Pass();
        ++shared->replies;
        tracker.Finish();
    });
    // Three wait for children that end only after the shutdown.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tracker.TryStart());
        tracker.BeginWait();
        threads.emplace_back([&, shared] {
            children_end.Pass();
            if (tracker.EndWait())
                ++shared->replies; // would be a touch of a node that is gone
            else
                ++ended_silently;
            tracker.Finish();
        });
    }
    in_reply.Pass();
    int replies_at_close = -1;
    std::thread stopper([&] {
        EXPECT_EQ(tracker.Close(0), 3u); // the three inside their waits are left
        replies_at_close = shared->replies;
    });
    while (tracker.TryStart())
        tracker.Finish(); // until the stop has begun
    reply_may_end.Open();
    stopper.join();
    EXPECT_EQ(replies_at_close, 1); // the reply in progress was waited for
    node.reset();                   // the node goes
    EXPECT_FALSE(tracker.TryStart());
    children_end.Open();
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(ended_silently, 3);
    EXPECT_EQ(tracker.Running(), 0u);
}

// The wiping allocator hands back only zeroed blocks, also when a string grows.
template <class T> struct Recording : std::allocator<T> {
    template <class U> struct rebind { using other = Recording<U>; };
    Recording() = default;
    template <class U> Recording(const Recording<U>&) noexcept {}
    static int& Freed() {
        static int n = 0;
        return n;
    }
    static int& Dirty() {
        static int n = 0;
        return n;
    }
    void deallocate(T* p, size_t n) {
        ++Freed();
        for (size_t i = 0; i < n * sizeof(T); ++i)
            if (reinterpret_cast<unsigned char*>(p)[i] != 0) ++Dirty();
        std::allocator<T>::deallocate(p, n);
    }
};

TEST(SecretBuffers, EveryBlockIsWipedBeforeItIsFreed) {
    using Secret =
        std::basic_string<char, std::char_traits<char>, WipingAllocator<char, Recording<char>>>;
    {
        Secret s(40, 'p');  // beyond the small-string room
        s.append(100, 'q'); // grows: the first block goes
        std::vector<int, WipingAllocator<int, Recording<int>>> v(50, 7);
    }
    EXPECT_GE(Recording<char>::Freed() + Recording<int>::Freed(), 3);
    EXPECT_EQ(Recording<char>::Dirty() + Recording<int>::Dirty(), 0);
    std::string kept(30, 's');
    { WipeOnExit<std::string> wipe(kept); }
    EXPECT_EQ(kept, std::string(30, '\0'));
}

} // namespace
} // namespace pm::exec
