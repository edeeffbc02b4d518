// A value or the Win32 error that kept it from being had, with the step that failed. Portable:
// the system seams answer these, and only the command handlers turn them into the agent's
// status codes. No exceptions: reading the value of a failure is a programming error caught
// by the assertion in debug builds.
#pragma once

#include <cassert>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>

namespace pm {

// For answers with a single step that can fail.
enum class NoStep : uint8_t { kCall };

template <typename Step = NoStep> struct Win32Failure {
    Step step{};
    uint32_t error = 0; // GetLastError or a registry status
};

// Builds a failure: Win32Error(step, GetLastError()).
template <typename Step> Win32Failure<Step> Win32Error(Step step, uint32_t error) {
    return Win32Failure<Step>{step, error};
}
inline Win32Failure<NoStep> Win32Error(uint32_t error) {
    return Win32Failure<NoStep>{NoStep::kCall, error};
}

template <typename T, typename Step = NoStep> class [[nodiscard]] Win32Result {
public:
    Win32Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Win32Result(Win32Failure<Step> failure) : v_(std::in_place_index<1>, failure) {}

    [[nodiscard]] bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    [[nodiscard]] T& value() & {
        assert(ok());
        return std::get<0>(v_);
    }
    [[nodiscard]] const T& value() const& {
        assert(ok());
        return std::get<0>(v_);
    }
    [[nodiscard]] T&& value() && {
        assert(ok());
        return std::get<0>(std::move(v_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // 0 on success.
    [[nodiscard]] uint32_t error() const { return ok() ? 0 : std::get<1>(v_).error; }
    // Meaningful only for a failure.
    [[nodiscard]] Step failed_step() const { return ok() ? Step{} : std::get<1>(v_).step; }
    [[nodiscard]] bool FailedAt(Step step) const { return !ok() && std::get<1>(v_).step == step; }

    [[nodiscard]] T value_or(T fallback) const& { return ok() ? std::get<0>(v_) : fallback; }

private:
    std::variant<T, Win32Failure<Step>> v_;
};

// An answer that carries no value: done, or the step that failed and its error.
struct Done {};
template <typename Step = NoStep> using Win32Status = Win32Result<Done, Step>;

} // namespace pm
