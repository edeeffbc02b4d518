// One record for the console: a zero-filled block from the C heap and its length, owned until
// a reply item takes the bytes over (Command::AddResultTakeOver(r.release(), size)).
// Portable.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "shared/base/c_heap_block.h"

namespace pm::table {

class Record {
public:
    Record() = default;
    // A zero-filled block of size bytes; null (and size 0) when it cannot be allocated.
    static Record Zeroed(uint32_t size) {
        Record r;
        r.bytes_.reset(static_cast<uint8_t*>(std::calloc(size ? size : 1, 1)));
        r.size_ = r.bytes_ ? size : 0;
        return r;
    }

    Record(Record&& other) noexcept : bytes_(std::move(other.bytes_)), size_(other.size_) {
        other.size_ = 0;
    }
    Record& operator=(Record&& other) noexcept {
        bytes_ = std::move(other.bytes_);
        size_ = other.size_;
        other.size_ = 0;
        return *this;
    }

    [[nodiscard]] uint8_t* data() const { return bytes_.get(); }
    [[nodiscard]] uint32_t size() const { return size_; }
    [[nodiscard]] bool valid() const { return bytes_.valid(); }
    explicit operator bool() const { return valid(); }

    // Hands the block to an owner that frees it with free(); the record is empty after.
    [[nodiscard]] uint8_t* release() {
        size_ = 0;
        return bytes_.release();
    }

private:
    unique_c_heap bytes_;
    uint32_t size_ = 0;
};

} // namespace pm::table
