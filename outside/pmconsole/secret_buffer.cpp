// Portable: password buffers and reading one line of a secret.
#include "outside/pmconsole/secret_buffer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <memory>
#include "shared/crypto/password_cipher.h"

namespace pm::console {
namespace {

void* HeapAllocate(size_t size) {
    return std::malloc(size);
}
void HeapRelease(void* block, size_t) {
    std::free(block);
}

constexpr size_t kFirstBlock = 64;

} // namespace

void WipeWholeString(std::string& text) {
    text.resize(text.capacity()); // within the capacity: the same block
    exec::WipeBytes(&text[0], text.size());
    text.clear();
}

const SecretBlocks& HeapSecretBlocks() {
    static const SecretBlocks blocks = {&HeapAllocate, &HeapRelease};
    return blocks;
}

bool SecretBuffer::Append(const char* bytes, size_t size) {
    if (size == 0) return true;
    if (size > capacity_ - size_) {
        size_t want = capacity_ ? capacity_ : kFirstBlock;
        while (want - size_ < size) {
            if (want > static_cast<size_t>(-1) / 2) return false;
            want *= 2;
        }
        auto* grown = static_cast<char*>(blocks_->allocate(want));
        if (grown == nullptr) return false;
        if (size_) std::memcpy(grown, data_, size_);
        if (data_ != nullptr) {
            exec::WipeBytes(data_, capacity_);
            blocks_->release(data_, capacity_);
        }
        data_ = grown;
        capacity_ = want;
    }
    std::memcpy(data_ + size_, bytes, size);
    size_ += size;
    return true;
}

void SecretBuffer::PopBack() {
    if (size_ == 0) return;
    exec::WipeBytes(data_ + --size_, 1);
}

void SecretBuffer::Clear() {
    if (data_ != nullptr) {
        exec::WipeBytes(data_, capacity_);
        blocks_->release(data_, capacity_);
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
}

LineResult ReadSecretLine(const ByteSource& next, SecretBuffer& line) {
    for (;;) {
        const int c = next();
        if (c == kReadFailed) return LineResult::kReadFailed;
        if (c == kEndOfInput || c == '\n') break;
        const char byte = static_cast<char>(c);
        if (!line.Append(&byte, 1)) return LineResult::kNoMemory;
    }
    if (!line.Empty() && line.View().back() == '\r') line.PopBack();
    return LineResult::kLine;
}

bool ReadPasswordFile(const std::string& path, SecretBuffer& line, std::string& error) {
    std::FILE* raw = std::fopen(path.c_str(), "rb");
    if (raw == nullptr) {
        error = "cannot open the password file " + path + " (" + std::strerror(errno) + ")";
        return false;
    }
    struct Close {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Close> file(raw);
    // Unbuffered: no stdio block of its own ever holds the password.
    std::setvbuf(raw, nullptr, _IONBF, 0);
    const LineResult r = ReadSecretLine(
        [raw] {
            const int c = std::fgetc(raw);
            return c != EOF ? c : std::ferror(raw) ? kReadFailed : kEndOfInput;
        },
        line);
    if (r == LineResult::kReadFailed) {
        error = "cannot read the password file " + path;
        return false;
    }
    if (r == LineResult::kNoMemory) {
        error = "no memory for the password";
        return false;
    }
    if (line.Empty()) {
        error = "the password file " + path + " has an empty first line";
        return false;
    }
    return true;
}

} // namespace pm::console
