// The memory that captured outputs may hold at once, in all running executions together. Each
// capture reserves from one process-wide budget before its buffer grows and gives everything
// back when the execution ends, on every path; what the budget cannot cover is read from the
// pipe and dropped, and the reply says where the output was cut. Portable: a standard atomic.
#pragma once

#include <atomic>
#include <cstddef>

namespace pm::exec {

// The agent's budget. A capture holds at most two bytes per output byte it keeps (the buffer,
// then its one copy in the reply or the message that carries it), so a full-size output
// (64 MiB - 64 KiB) takes 128 MiB of it: four of them run at once, or all 32 executions with
// 8 MiB of output each, and an i686 agent (2 GiB of address space, whose large free ranges
// DLLs, thread stacks and the rest of the heap share) keeps 1.5 GiB for everything else.
constexpr size_t kCaptureBudgetBytes = size_t(512) << 20;

class CaptureBudget {
public:
    explicit CaptureBudget(size_t total) : total_(total) {}
    CaptureBudget(const CaptureBudget&) = delete;
    CaptureBudget& operator=(const CaptureBudget&) = delete;

    // All of n or nothing: false when that would take the budget beyond its total.
    [[nodiscard]] bool Reserve(size_t n);
    // Gives back n bytes reserved before.
    void Release(size_t n);
    [[nodiscard]] size_t InUse() const { return used_.load(std::memory_order_relaxed); }
    [[nodiscard]] size_t Total() const { return total_; }

private:
    const size_t total_;
    std::atomic<size_t> used_{0};
};

// The process's budget, kCaptureBudgetBytes; never destroyed.
CaptureBudget& ProcessCaptureBudget();

// One execution's part of a budget: it grows as the capture needs more, and the whole of it
// goes back when the share is destroyed. Without a budget it grants everything.
class BudgetShare {
public:
    explicit BudgetShare(CaptureBudget* budget) : budget_(budget) {}
    ~BudgetShare() { Clear(); }
    BudgetShare(const BudgetShare&) = delete;
    BudgetShare& operator=(const BudgetShare&) = delete;

    // n more bytes, all or nothing.
    [[nodiscard]] bool Grow(size_t n);
    // At least n bytes held in all: grows by the difference (all or nothing).
    [[nodiscard]] bool GrowTo(size_t n) { return n <= held_ || Grow(n - held_); }
    // Everything held goes back.
    void Clear();
    [[nodiscard]] size_t Held() const { return held_; }

private:
    CaptureBudget* budget_;
    size_t held_ = 0;
};

} // namespace pm::exec
