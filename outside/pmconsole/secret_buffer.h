// Bytes that hold a password in the console: every block is wiped before it is released, also
// the old block when the buffer grows. Portable: no OS code here.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace pm::console {

// Wipes a string's whole block, up to its capacity (bytes a shorter text left behind too), and
// empties it. The block itself stays (it is wiped again when the string is).
void WipeWholeString(std::string& text);

// Where a SecretBuffer takes its blocks and gives them back (the tests record them).
struct SecretBlocks {
    void* (*allocate)(size_t size);
    void (*release)(void* block, size_t size);
};
const SecretBlocks& HeapSecretBlocks();

class SecretBuffer {
public:
    explicit SecretBuffer(const SecretBlocks& blocks = HeapSecretBlocks()) : blocks_(&blocks) {}
    ~SecretBuffer() { Clear(); }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;

    // False (nothing changed) when no block can be had.
    [[nodiscard]] bool Append(const char* bytes, size_t size);
    // Wipes and releases the block.
    void Clear();
    // Drops the last byte (wiped).
    void PopBack();

    [[nodiscard]] std::string_view View() const { return {data_, size_}; }
    [[nodiscard]] size_t Size() const { return size_; }
    [[nodiscard]] bool Empty() const { return size_ == 0; }

private:
    const SecretBlocks* blocks_;
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// The next byte of an input (0-255), kEndOfInput, or kReadFailed.
constexpr int kEndOfInput = -1;
constexpr int kReadFailed = -2;
using ByteSource = std::function<int()>;

enum class LineResult { kLine, kReadFailed, kNoMemory };

// Reads one line byte by byte, so that nothing after its end is taken from the input: the
// bytes up to the first line feed (or the end of input), without it and without a carriage
// return before it.
LineResult ReadSecretLine(const ByteSource& next, SecretBuffer& line);

// The first line of a file, read without a stdio buffer; false with a message for a file that
// is missing, unreadable or whose first line is empty.
bool ReadPasswordFile(const std::string& path, SecretBuffer& line, std::string& error);

} // namespace pm::console
