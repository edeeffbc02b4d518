// Buffers that held a secret are overwritten before the heap gets them back: a wipe the
// compiler cannot drop, an allocator that wipes every block it frees (for standard containers
// that hold a password or a text converted from one), and a guard for buffers owned elsewhere.
// Portable, header only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace pm {

inline void SecureWipe(void* data, size_t size) noexcept {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (size_t i = 0; i < size; ++i)
        p[i] = 0;
}

// Wipes each block before handing it to Base; a string or vector that grows therefore never
// leaves a copy of its old contents behind.
template <class T, class Base = std::allocator<T>> class WipingAllocator : public Base {
public:
    using value_type = T;
    template <class U> struct rebind {
        using other =
            WipingAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
    };
    WipingAllocator() = default;
    template <class U, class B>
    WipingAllocator(const WipingAllocator<U, B>& other) noexcept : Base(other) {}

    void deallocate(T* p, size_t n) {
        SecureWipe(p, n * sizeof(T));
        Base::deallocate(p, n);
    }
    template <class U, class B> bool operator==(const WipingAllocator<U, B>&) const noexcept {
        return true;
    }
    template <class U, class B> bool operator!=(const WipingAllocator<U, B>&) const noexcept {
        return false;
    }
};

using SecretString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// Wipes a container's elements (in place, where they are) when it goes out of scope, for
// containers whose type is fixed by an interface. Reserve room first: a reallocation would
// free the old block unwiped.
template <class Container> class WipeOnExit {
public:
    explicit WipeOnExit(Container& c) noexcept : c_(c) {}
    ~WipeOnExit() {
        if (!c_.empty()) SecureWipe(&c_[0], c_.size() * sizeof(c_[0]));
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Container& c_;
};

} // namespace pm
