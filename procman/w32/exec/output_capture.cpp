// Portable: the output buffer, the reading loop and the output item.
#include "procman/w32/exec/output_capture.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace pm::exec {
namespace {
constexpr size_t kFirstSegment = 16 * 1024;
constexpr size_t kLargestSegment = 8u << 20;
} // namespace

OutputBuffer::~OutputBuffer() {
    for (Segment& s : segments_)
        std::free(s.data);
}

bool OutputBuffer::Append(const uint8_t* bytes, size_t n) {
    if (n > limit_ - bytes_) {
        n = limit_ - bytes_;
        cut_ = true;
    }
    size_t done = 0;
    while (done < n) {
        if (segments_.empty() || segments_.back().used == segments_.back().size) {
            size_t size = segments_.empty() ? kFirstSegment : segments_.back().size * 2;
            if (size > kLargestSegment) size = kLargestSegment;
            if (share_ && !share_->Grow(2 * size + (segments_.empty() ? 2 : 0))) {
                // Beyond the budget: what is kept so far is all that will be.
                bytes_ += done;
                limit_ = bytes_;
                cut_ = true;
                return true;
            }
            if (segments_.size() == segments_.capacity()) {
                // Reserve without throwing: a vector that cannot grow is an allocation failure.
                size_t want = segments_.capacity() ? segments_.capacity() * 2 : 16;
                if (want > segments_.max_size()) return false;
                std::vector<Segment> bigger;
                bigger.reserve(want);
                bigger.assign(segments_.begin(), segments_.end());
                segments_.swap(bigger);
            }
            auto* data = static_cast<uint8_t*>(std::malloc(size));
            if (!data) {
                bytes_ += done;
                return false;
            }
            segments_.push_back({data, size, 0});
            capacity_ += size;
        }
        Segment& s = segments_.back();
        size_t take = n - done < s.size - s.used ? n - done : s.size - s.used;
        std::memcpy(s.data + s.used, bytes + done, take);
        s.used += take;
        done += take;
    }
    bytes_ += n;
    return true;
}

void OutputBuffer::CopyOut(size_t at, size_t n, uint8_t* out) const {
    for (const Segment& s : segments_) {
        if (n == 0) return;
        if (at >= s.used) {
            at -= s.used;
            continue;
        }
        size_t take = s.used - at < n ? s.used - at : n;
        std::memcpy(out, s.data + at, take);
        out += take;
        n -= take;
        at = 0;
    }
}

size_t OutputBuffer::TextLength() const {
    size_t at = 0;
    for (const Segment& s : segments_) {
        if (const void* zero = std::memchr(s.data, 0, s.used))
            return at + size_t(static_cast<const uint8_t*>(zero) - s.data);
        at += s.used;
    }
    return at;
}

void OutputBuffer::Clear() {
    for (Segment& s : segments_)
        std::free(s.data);
    segments_.clear();
    bytes_ = 0;
    capacity_ = 0;
}

uint8_t* OutputBuffer::Take() {
    if (bytes_ == 0) return nullptr;
    auto* block = static_cast<uint8_t*>(std::malloc(bytes_ + 1));
    if (!block) return nullptr;
    size_t at = 0;
    for (Segment& s : segments_) {
        std::memcpy(block + at, s.data, s.used);
        at += s.used;
        std::free(s.data);
    }
    block[at] = 0;
    segments_.clear();
    bytes_ = 0;
    capacity_ = 0;
    return block;
}

ReadOutcome ReadOutput(CaptureSource& source, bool win95_mode, OutputBuffer& buffer, size_t* wanted,
                       const std::function<void(uint32_t)>& on_peek_failure) {
    uint8_t chunk[kReadChunk];
    bool finished = false;
    bool read_ok = true;
    bool read_last_pass = false;
    bool drain = false; // Windows 95 mode, the process ended: blocking reads to the pipe's end
    uint32_t idle_wait = 1;
    for (;;) {
        uint32_t waiting = kReadChunk;
        if (win95_mode && !drain) {
            // While data flows there is no waiting (and no need to ask whether the process
            // ended). An idle pass waits for the process, 1 ms after data and twice as long
            // each idle pass after that, up to the 500 ms poll of a quiet process.
            if (read_last_pass) {
                idle_wait = 1;
            } else {
                if (source.WaitProcess(idle_wait)) finished = true;
                idle_wait = idle_wait * 2 < kWin95PollMs ? idle_wait * 2 : kWin95PollMs;
            }
            uint32_t error = 0;
            if (!source.BytesWaiting(&waiting, &error)) {
                if (on_peek_failure) on_peek_failure(error);
                waiting = 0;
            }
        }
        uint32_t got = 0;
        if (waiting > 0) {
            read_ok = source.Read(chunk, waiting < kReadChunk ? waiting : kReadChunk, &got);
            if (!read_ok) got = 0;
        }
        if (!read_ok) finished = true;
        read_last_pass = got > 0;
        if (got > 0) {
            if (!buffer.Append(chunk, got)) {
                *wanted = buffer.Bytes() + got + 1;
                return ReadOutcome::kNoMemory;
            }
            std::memset(chunk, 0, sizeof chunk);
            continue;
        }
        if (!finished) continue;
        if (read_ok && win95_mode && !drain) {
            drain = true; // a process the child started may still hold the write end
            continue;
        }
        return ReadOutcome::kEnded;
    }
}

size_t WholeCharacters(const CharacterLayout& layout, const uint8_t* bytes, size_t n) {
    switch (layout.kind) {
    case CharacterLayout::Kind::kSingleByte:
        return n;
    case CharacterLayout::Kind::kDoubleByte: {
        size_t at = 0;
        while (at < n) {
            if (!layout.lead[bytes[at]]) {
                ++at;
            } else if (at + 1 < n) {
                at += 2;
            } else {
                break; // the trail byte is in the next piece
            }
        }
        return at;
    }
    case CharacterLayout::Kind::kUtf8:
        for (size_t back = 1; back <= 3 && back <= n; ++back) {
            const uint8_t b = bytes[n - back];
            if ((b & 0xC0) == 0x80) continue; // a continuation byte
            const size_t length = b >= 0xF0 && b <= 0xF4   ? 4
                                  : b >= 0xE0 && b <= 0xEF ? 3
                                  : b >= 0xC2 && b <= 0xDF ? 2
                                                           : 1;
            return length > back ? n - back : n;
        }
        return n;
    }
    return n;
}

OutputItem EncodeOutput(MallocBlock block, size_t bytes, bool cut,
                        const OemConverter& oem_to_ansi) {
    OutputItem item;
    item.cut = cut;
    item.kept = bytes;
    if (!block) return item;
    if (oem_to_ansi) oem_to_ansi(block.get(), std::strlen(reinterpret_cast<char*>(block.get())));
    item.data = std::move(block);
    item.size = bytes;
    return item;
}

namespace {

// The text of an output buffer in pieces, each copied with its terminator to a scratch block
// of its own and converted from OEM to ANSI there: the buffer itself is never changed.
class TextPieces {
public:
    TextPieces(const OutputBuffer& buffer, const CharacterLayout& layout,
               const OemConverter& oem_to_ansi, size_t most)
        : buffer_(buffer), layout_(layout), oem_to_ansi_(oem_to_ansi), text_(buffer.TextLength()),
          scratch_(most + 1) {}

    size_t Text() const { return text_; }
    const char* Data() const { return reinterpret_cast<const char*>(scratch_.data()); }

    // The piece of at most `most` bytes at `at` (and no more than the scratch holds); with
    // `whole`, shortened to whole characters unless it reaches the text's end. Its length.
    size_t Load(size_t at, size_t most, bool whole) {
        size_t n = text_ - at;
        if (n > most) n = most;
        if (n > scratch_.size() - 1) n = scratch_.size() - 1;
        buffer_.CopyOut(at, n, scratch_.data());
        if (oem_to_ansi_) oem_to_ansi_(scratch_.data(), n);
        if (whole && at + n < text_) n = WholeCharacters(layout_, scratch_.data(), n);
        scratch_[n] = 0;
        return n;
    }

private:
    const OutputBuffer& buffer_;
    const CharacterLayout& layout_;
    const OemConverter& oem_to_ansi_;
    const size_t text_;
    std::vector<uint8_t> scratch_;
};

struct Piece {
    size_t at, bytes;
};

// The converted text as it will be: the pieces whose conversions, with one terminator, fit in
// `limit` bytes, taken greedily (a piece that does not fit is tried again at half its size,
// down to single characters). False when a conversion fails.
bool PlanPieces(TextPieces& text, size_t piece, size_t limit, const ToCompressed& to_compressed,
                std::vector<Piece>* pieces, size_t* kept, size_t* size) {
    pieces->clear();
    const size_t room = limit > 0 ? limit - 1 : 0; // the terminator's byte aside
    size_t at = 0, total = 0, most = piece, failed = SIZE_MAX;
    while (at < text.Text()) {
        const size_t n = text.Load(at, most, true);
        if (n == 0) {
            // Less than one character: a byte more, unless that size failed already.
            if (++most >= failed) break;
            continue;
        }
        const int needed = to_compressed(text.Data(), nullptr, 0);
        if (needed <= 0) return false;
        const size_t converted = size_t(needed) - 1;
        if (converted <= room - total) {
            pieces->push_back({at, n});
            at += n;
            total += converted;
            failed = SIZE_MAX;
            continue;
        }
        failed = n;
        most = n / 2;
        if (most == 0) break;
    }
    *kept = at;
    *size = total + 1;
    return true;
}

} // namespace

OutputItem EncodeCompressed(OutputBuffer& buffer, size_t limit, BudgetShare& share,
                            const CharacterLayout& layout, const OemConverter& oem_to_ansi,
                            const ToCompressed& to_compressed, size_t piece) {
    OutputItem item;
    item.cut = buffer.Cut();
    item.kept = buffer.Bytes();
    if (buffer.Empty()) return item;
    if (piece < kMaxCharacterBytes) piece = kMaxCharacterBytes;
    if (limit > size_t(INT_MAX)) limit = size_t(INT_MAX);
    TextPieces text(buffer, layout, oem_to_ansi, piece);
    std::vector<Piece> pieces;
    size_t kept = 0, size = 0;
    bool ok = PlanPieces(text, piece, limit, to_compressed, &pieces, &kept, &size);
    if (ok) {
        // The buffer and the item are held together, then the item and the reply's copy.
        const size_t buffer_bytes = buffer.Capacity();
        auto needs = [&](size_t s) { return s > buffer_bytes ? 2 * s : buffer_bytes + s; };
        if (!share.GrowTo(needs(size))) {
            const size_t held = share.Held();
            size_t fits = held > buffer_bytes ? held - buffer_bytes : 0;
            if (fits > held / 2) fits = held / 2;
            ok = PlanPieces(text, piece, fits < limit ? fits : limit, to_compressed, &pieces, &kept,
                            &size);
        }
    }
    if (ok) {
        auto* data = static_cast<uint8_t*>(std::malloc(size));
        if (!data) {
            buffer.Clear();
            return item; // no item: the caller answers the failure
        }
        MallocBlock converted(data);
        size_t written = 0;
        for (const Piece& p : pieces) {
            text.Load(p.at, p.bytes, false);
            const int wrote = to_compressed(text.Data(), reinterpret_cast<char*>(data + written),
                                            int(size - written));
            // Each piece as planned, or the plan does not hold.
            if (wrote <= 0 || size_t(wrote) > size - written) {
                ok = false;
                break;
            }
            written += size_t(wrote) - 1;
        }
        if (ok && written + 1 == size) {
            data[written] = 0;
            if (kept < text.Text()) {
                item.cut = true;
                item.kept = kept;
            }
            item.data = std::move(converted);
            item.size = size;
            item.encoding = kEncodingCompressedUnicode;
            buffer.Clear();
            return item;
        }
    }
    // The conversion failed: the ANSI bytes.
    const size_t bytes = buffer.Bytes();
    const bool cut = buffer.Cut();
    return EncodeOutput(MallocBlock(buffer.Take()), bytes, cut, oem_to_ansi);
}

} // namespace pm::exec
