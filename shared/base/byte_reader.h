// A bounds-checked reader of little-endian bytes. No OS code here.
//
// A read that would pass the end does not happen: it answers 0 (or an empty text), and the
// reader remembers that it failed and where. Every later read answers 0 too, so a chain of reads
// is checked once, by ok(), after the last of them:
//
//     ByteReader r(data, size);
//     uint32_t count = r.U32(), first = r.U32At(16);
//     if (!r.ok()) return kBadRecord;
//
// The reader never reads a byte at or after `size`, and never writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "shared/base/endian.h"

namespace pm {

class ByteReader {
public:
    ByteReader(const void* data, size_t size) noexcept
        : data_(static_cast<const uint8_t*>(data)), size_(data ? size : 0) {}
    explicit ByteReader(const std::string& bytes) noexcept
        : ByteReader(bytes.data(), bytes.size()) {}

    [[nodiscard]] size_t size() const noexcept { return size_; }
    // Where the next sequential read starts.
    [[nodiscard]] size_t offset() const noexcept { return offset_; }
    [[nodiscard]] size_t remaining() const noexcept { return size_ - offset_; }
    // No read has failed so far.
    [[nodiscard]] bool ok() const noexcept { return !failed_; }
    // Where the first failed read started (meaningful only when !ok()).
    [[nodiscard]] size_t error_offset() const noexcept { return error_offset_; }

    // Sequential reads at offset(), which advance it past what they read.
    [[nodiscard]] uint8_t U8() noexcept { return Next<uint8_t>(1); }
    [[nodiscard]] uint16_t U16() noexcept { return Next<uint16_t>(2); }
    [[nodiscard]] uint32_t U32() noexcept { return Next<uint32_t>(4); }
    // Moves the cursor; past the end (or after a failure) it fails instead.
    void Seek(size_t offset) noexcept {
        if (Fits(offset, 0)) offset_ = offset;
    }
    void Skip(size_t count) noexcept {
        if (Fits(offset_, count)) offset_ += count;
    }

    // Reads at an absolute offset; the cursor stays where it is.
    [[nodiscard]] uint8_t U8At(size_t at) noexcept { return Fits(at, 1) ? data_[at] : 0; }
    [[nodiscard]] uint16_t U16At(size_t at) noexcept {
        return Fits(at, 2) ? le::Load16(data_ + at) : 0;
    }
    [[nodiscard]] uint32_t U32At(size_t at) noexcept {
        return Fits(at, 4) ? le::Load32(data_ + at) : 0;
    }
    // The `count` bytes at `at`, or null when they are not all there.
    [[nodiscard]] const uint8_t* BytesAt(size_t at, size_t count) noexcept {
        return Fits(at, count) ? data_ + at : nullptr;
    }
    // The NUL-terminated text that starts at `at` and whose NUL lies before `limit` (and before
    // the end). Without a NUL in that range the read fails and answers an empty text.
    [[nodiscard]] std::string CStringAt(size_t at, size_t limit) {
        if (limit > size_) limit = size_;
        if (failed_ || at >= limit) {
            Fail(at);
            return {};
        }
        const void* nul = std::memchr(data_ + at, 0, limit - at);
        if (nul == nullptr) {
            Fail(at);
            return {};
        }
        return std::string(reinterpret_cast<const char*>(data_ + at),
                           static_cast<const uint8_t*>(nul) - (data_ + at));
    }

private:
    // Whether `count` bytes at `at` lie inside; records the first failure.
    bool Fits(size_t at, size_t count) noexcept {
        if (!failed_ && at <= size_ && count <= size_ - at) return true;
        Fail(at);
        return false;
    }
    void Fail(size_t at) noexcept {
        if (failed_) return;
        failed_ = true;
        error_offset_ = at;
    }
    template <typename T> T Next(size_t width) noexcept {
        if (!Fits(offset_, width)) return 0;
        const uint8_t* p = data_ + offset_;
        offset_ += width;
        if (width == 1) return static_cast<T>(p[0]);
        if (width == 2) return static_cast<T>(le::Load16(p));
        return static_cast<T>(le::Load32(p));
    }

    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    bool failed_ = false;
    size_t error_offset_ = 0;
};

} // namespace pm
