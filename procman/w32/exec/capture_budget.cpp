// Portable: the budget's accounting.
#include "procman/w32/exec/capture_budget.h"

namespace pm::exec {

bool CaptureBudget::Reserve(size_t n) {
    size_t used = used_.load(std::memory_order_relaxed);
    do {
        if (n > total_ - used) return false;
    } while (!used_.compare_exchange_weak(used, used + n, std::memory_order_relaxed));
    return true;
}

void CaptureBudget::Release(size_t n) {
    used_.fetch_sub(n, std::memory_order_relaxed);
}

CaptureBudget& ProcessCaptureBudget() {
    static CaptureBudget* budget = new CaptureBudget(kCaptureBudgetBytes);
    return *budget;
}

bool BudgetShare::Grow(size_t n) {
    if (budget_ && !budget_->Reserve(n)) return false;
    held_ += n;
    return true;
}

void BudgetShare::Clear() {
    if (budget_ && held_) budget_->Release(held_);
    held_ = 0;
}

} // namespace pm::exec
