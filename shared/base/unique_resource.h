// Portable ownership of one OS resource. No OS code here: the traits name the invalid value
// and how to close, so the template is tested natively with traits that count closes.
#pragma once

#include <utility>

namespace pm {

// Traits: using type = ...; static type invalid() noexcept; static void close(type) noexcept;
template <typename Traits> class UniqueResource {
public:
    using type = typename Traits::type;

    UniqueResource() noexcept : value_(Traits::invalid()) {}
    explicit UniqueResource(type value) noexcept : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    [[nodiscard]] type get() const noexcept { return value_; }
    [[nodiscard]] bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes the held value (if any) and takes the new one.
    void reset(type value = Traits::invalid()) noexcept {
        type old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }
    [[nodiscard]] type release() noexcept { return std::exchange(value_, Traits::invalid()); }

    // For out-parameter APIs: closes what is held and hands the slot to fill.
    type* put() noexcept {
        reset();
        return &value_;
    }

private:
    type value_;
};

} // namespace pm
