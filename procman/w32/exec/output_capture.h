// Output capture of Execute Command: the buffer that collects what the child writes, the
// reading loop over the pipe on both platform branches, and the output item of the reply.
// Portable: the pipe and the process are reached through CaptureSource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pm::exec {

constexpr uint32_t kReadChunk = 4096;
constexpr uint32_t kWin95PollMs = 500;
constexpr uint32_t kEncodingAnsi = 1;
constexpr uint32_t kEncodingCompressedUnicode = 2;

// The most output bytes one reply keeps: the messaging library refuses messages over 64 MiB,
// and the rest of the reply (header, addresses, the other items) fits in the 64 KiB left.
// Beyond it the pipe is still drained, so that the child never blocks, and the reply says
// where the output was cut.
constexpr size_t kMaxOutputBytes = (size_t(64) << 20) - (size_t(64) << 10);

// Every byte kept so far followed by one zero byte (Size() = bytes kept + 1 once anything was
// read). Storage grows in segments of doubling size, so that capture costs linear time and no
// byte is copied twice before Take().
class OutputBuffer {
public:
    // limit: the most bytes it keeps; what is appended beyond is dropped and Cut() says so.
    explicit OutputBuffer(size_t limit = kMaxOutputBytes) : limit_(limit) {}
    ~OutputBuffer();
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    // False when the storage cannot grow.
    [[nodiscard]] bool Append(const uint8_t* bytes, size_t n);
    [[nodiscard]] bool Empty() const { return bytes_ == 0; }
    [[nodiscard]] size_t Bytes() const { return bytes_; }
    // Output beyond the limit was dropped.
    [[nodiscard]] bool Cut() const { return cut_; }
    // One malloc'd block of Bytes() + 1 bytes, the last one zero, handed to the caller; the
    // buffer is empty afterwards. Null when nothing was read or the block cannot be had.
    [[nodiscard]] uint8_t* Take();

private:
    struct Segment {
        uint8_t* data;
        size_t size;
        size_t used;
    };
    std::vector<Segment> segments_;
    size_t bytes_ = 0;
    size_t limit_;
    bool cut_ = false;
};

// The pipe's read end and the started process, as the reading loop needs them.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    // Windows 95 mode: waits up to ms for the process; true when it has ended.
    virtual bool WaitProcess(uint32_t ms) = 0;
    // PeekNamedPipe: bytes waiting; false (with the system error) when the call fails.
    virtual bool BytesWaiting(uint32_t* count, uint32_t* error) = 0;
    // ReadFile of at most size bytes; false when it fails (every write end closed, on NT).
    virtual bool Read(uint8_t* chunk, uint32_t size, uint32_t* got) = 0;
};

enum class ReadOutcome {
    kEnded,    // the pipe broke (NT) or the process ended with the pipe empty (95/98)
    kNoMemory, // the output buffer could not grow; *wanted is the size asked for
};

// The reading loop. On NT every pass is a blocking read. In Windows 95 mode a pass that follows
// one without data waits for the process (1 ms after data, doubling up to the 500 ms poll of a
// quiet process), asks how many bytes are waiting and reads only those; once the process has
// ended and the pipe is empty, blocking reads follow until the pipe breaks, so that what a
// process it started (and that holds the write end) writes is read too. on_peek_failure sees
// the error of a failed PeekNamedPipe (counted as no data). Output beyond the buffer's limit is
// read and dropped.
ReadOutcome ReadOutput(CaptureSource& source, bool win95_mode, OutputBuffer& buffer, size_t* wanted,
                       const std::function<void(uint32_t)>& on_peek_failure);

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using MallocBlock = std::unique_ptr<uint8_t, FreeDeleter>;

// The second and third results of a reply: the item is a malloc'd block that the command takes
// over (null with size 0 for an empty item).
struct OutputItem {
    MallocBlock data;
    size_t size = 0;
    uint32_t encoding = kEncodingAnsi;
    // The output was cut: kept is the number of output bytes the item holds (before any
    // conversion); the reply then carries it as a fourth item.
    bool cut = false;
    size_t kept = 0;
};

// In-place OEM to ANSI conversion of the first `size` bytes (the Win32 side: OemToCharBuffA).
using OemConverter = std::function<void(uint8_t* text, size_t size)>;
// ANSI text to compressed unicode without its terminator; false when it fails.
using ToCompressed = std::function<bool(const char* ansi, std::string* out)>;

// Builds the output item from a block of Take(): text up to its first zero converted from OEM
// to ANSI; without `unicode` the whole block but its final zero (zero bytes inside kept),
// encoding 1; with it the text in compressed unicode with one terminating zero, encoding 2 (if
// that conversion fails, the ANSI bytes with encoding 1). No block: empty item, encoding 1.
// `cut`: the output was cut already. A converted item larger than `limit` is made again from
// a shorter text, cut in proportion (or, if that is still too large, to limit / 3 bytes: a
// character takes at most three bytes in compressed unicode), and counts as cut. The block is
// taken over in every case.
OutputItem EncodeOutput(MallocBlock block, size_t bytes, bool unicode, bool cut, size_t limit,
                        const OemConverter& oem_to_ansi, const ToCompressed& to_compressed);

} // namespace pm::exec
