// Portable: the output buffer, the reading loop and the output item.
#include "procman/w32/exec/output_capture.h"

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
    if (n == 0) return true;
    size_t done = 0;
    while (done < n) {
        if (segments_.empty() || segments_.back().used == segments_.back().size) {
            size_t size = segments_.empty() ? kFirstSegment : segments_.back().size * 2;
            if (size > kLargestSegment) size = kLargestSegment;
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

OutputItem EncodeOutput(MallocBlock block, size_t bytes, bool unicode, bool cut, size_t limit,
                        const OemConverter& oem_to_ansi, const ToCompressed& to_compressed) {
    OutputItem item;
    item.cut = cut;
    item.kept = bytes;
    if (!block) return item;
    char* text = reinterpret_cast<char*>(block.get());
    if (oem_to_ansi) oem_to_ansi(block.get(), std::strlen(text));
    if (unicode && to_compressed) {
        // A text of `limit` characters or more cannot fit with its terminator (a character
        // takes a byte at least): cut it before converting it at all.
        if (limit > 0 && std::strlen(text) >= limit) {
            text[limit - 1] = 0;
            item.cut = true;
            item.kept = limit - 1;
        }
        std::string converted;
        bool ok = to_compressed(text, &converted);
        // Too large converted: cut the text in proportion and convert again; should the mix of
        // characters still not fit, a third of the limit always does (3 bytes a character).
        for (int attempt = 0; ok && converted.size() + 1 > limit && attempt < 2; ++attempt) {
            const size_t length = std::strlen(text);
            size_t cut_at =
                attempt == 0 ? size_t(double(length) * double(limit - 1) / double(converted.size()))
                             : limit / 3;
            if (cut_at >= length) cut_at = length - 1;
            text[cut_at] = 0;
            item.cut = true;
            item.kept = cut_at;
            converted.clear();
            ok = to_compressed(text, &converted);
        }
        if (ok) {
            block.reset(); // the ANSI form is no longer needed
            auto* data = static_cast<uint8_t*>(std::malloc(converted.size() + 1));
            if (data) {
                std::memcpy(data, converted.c_str(), converted.size() + 1);
                item.data.reset(data);
                item.size = converted.size() + 1;
                item.encoding = kEncodingCompressedUnicode;
            }
            return item;
        }
    }
    item.data = std::move(block);
    item.size = item.kept;
    return item;
}

} // namespace pm::exec
