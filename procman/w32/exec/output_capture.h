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

#include "procman/w32/exec/capture_budget.h"

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

// Every byte kept so far. Storage grows in segments of doubling size, so that capture costs
// linear time and no byte is copied twice before Take().
class OutputBuffer {
public:
    // limit: the most bytes it keeps; what is appended beyond is dropped and Cut() says so.
    // With a share, each segment is reserved from its budget first, twice its size (the
    // segment and the one copy of its bytes that the reply makes), and two bytes more with the
    // first one (the terminators); a segment the budget cannot cover is not had and the
    // output is cut there. The share must outlive the copy.
    explicit OutputBuffer(size_t limit = kMaxOutputBytes, BudgetShare* share = nullptr)
        : limit_(limit), share_(share) {}
    ~OutputBuffer();
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    // False when the storage cannot grow.
    [[nodiscard]] bool Append(const uint8_t* bytes, size_t n);
    [[nodiscard]] bool Empty() const { return bytes_ == 0; }
    [[nodiscard]] size_t Bytes() const { return bytes_; }
    // Output beyond the limit, or beyond what the budget covered, was dropped.
    [[nodiscard]] bool Cut() const { return cut_; }
    // Bytes of storage allocated (kept or not yet filled).
    [[nodiscard]] size_t Capacity() const { return capacity_; }
    // One malloc'd block of Bytes() + 1 bytes, the last one zero, handed to the caller; the
    // buffer is empty afterwards. Null when nothing was read or the block cannot be had.
    [[nodiscard]] uint8_t* Take();
    // Copies n kept bytes from byte `at` on (at + n <= Bytes()).
    void CopyOut(size_t at, size_t n, uint8_t* out) const;
    // Where the first zero byte is: Bytes() when there is none.
    [[nodiscard]] size_t TextLength() const;
    // Frees the storage: empty afterwards (Cut() stays as it was).
    void Clear();

private:
    struct Segment {
        uint8_t* data;
        size_t size;
        size_t used;
    };
    std::vector<Segment> segments_;
    size_t bytes_ = 0;
    size_t capacity_ = 0;
    size_t limit_;
    BudgetShare* share_;
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
// ANSI text (zero-terminated) to compressed unicode, by the code-page library's two calls:
// with no destination the size needed, terminator included; with a destination of dst_size
// bytes the size written. 0: it failed.
using ToCompressed = std::function<int(const char* ansi, char* dst, int dst_size)>;

// How the ANSI code page makes characters of bytes, so that the text can be converted in
// pieces that never end inside a character.
struct CharacterLayout {
    enum class Kind {
        kSingleByte, // every byte is a character
        kDoubleByte, // a lead byte and the byte after it (whatever it is) are one character
        kUtf8,       // code page 65001
    };
    Kind kind = Kind::kSingleByte;
    bool lead[256] = {}; // kDoubleByte: the lead bytes
};

// The most bytes one character takes in any layout.
constexpr size_t kMaxCharacterBytes = 4;

// The longest start of bytes[0, n) that holds only whole characters, bytes[0] starting one and
// more bytes following bytes[n - 1]. A double-byte text is walked from its start (a trail byte
// can have the value of a lead byte); in UTF-8 a sequence whose lead byte announces more bytes
// than there are before n is left for the next piece, and a run of continuation bytes with no
// lead byte among the last three is cut anywhere (each of them is a character of its own).
size_t WholeCharacters(const CharacterLayout& layout, const uint8_t* bytes, size_t n);

// The bytes of a text converted in one piece.
constexpr size_t kConvertPiece = 64 * 1024;

// Builds the plain output item from a block of Take(): text up to its first zero converted
// from OEM to ANSI, the whole block but its final zero (zero bytes inside kept), encoding 1.
// `cut`: the output was cut already. No block: empty item, encoding 1. The block is taken over.
OutputItem EncodeOutput(MallocBlock block, size_t bytes, bool cut, const OemConverter& oem_to_ansi);

// Builds the output item in compressed unicode, encoding 2, straight from the buffer: its text
// up to the first zero, converted from OEM to ANSI and then to compressed unicode in pieces of
// at most `piece` bytes of whole characters (the one item is the only full-size copy made).
// The item, with its terminator, is at most `limit` bytes: a text that does not fit is cut
// after the last whole character that does, and counts as cut. Before the item is allocated,
// `share` is grown to cover the buffer and the item together, and the item and the copy that
// the reply makes; what the share cannot get cuts the text further. If a conversion fails, the
// item is made as EncodeOutput makes it (the buffer is taken then). An empty buffer gives an
// empty item, encoding 1. The buffer is empty afterwards: the reply is packed without it.
OutputItem EncodeCompressed(OutputBuffer& buffer, size_t limit, BudgetShare& share,
                            const CharacterLayout& layout, const OemConverter& oem_to_ansi,
                            const ToCompressed& to_compressed, size_t piece = kConvertPiece);

} // namespace pm::exec
