// Pieces of a large reply. Portable: no OS code here.
#include "shared/remote/pieces.h"

#include <algorithm>

namespace pm::remote {
namespace {

constexpr uint32_t kMaxPieces = 1000000;

bool ParseDecimal(const std::string& s, uint64_t limit, uint64_t& out) {
    if (s.empty() || s.size() > 19) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > limit) return false;
    out = v;
    return true;
}

} // namespace

size_t PieceSize(int64_t max_payload) {
    if (max_payload >= static_cast<int64_t>(2 * kHeaderRoom))
        return static_cast<size_t>(max_payload) - kHeaderRoom;
    // A server with a tiny limit: half of it for the piece, the rest for the headers.
    return std::max<size_t>(static_cast<size_t>(std::max<int64_t>(max_payload, 0) / 2), kMinPiece);
}

uint32_t PieceCount(size_t total, size_t piece_size) {
    if (total == 0 || piece_size == 0) return 1;
    return static_cast<uint32_t>((total + piece_size - 1) / piece_size);
}

HeaderList PieceHeaders(uint32_t index, uint32_t count, uint64_t total) {
    return {{kHeaderStatus, "0"},
            {kHeaderPiece, std::to_string(index) + "/" + std::to_string(count)},
            {kHeaderSize, std::to_string(total)}};
}

HeaderList StatusHeaders(GateStatus status) {
    return {{kHeaderStatus, std::to_string(static_cast<int>(status))}};
}

bool ParsePiece(const std::string& text, uint32_t& index, uint32_t& count) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    uint64_t i = 0, n = 0;
    if (!ParseDecimal(text.substr(0, slash), kMaxPieces, i) ||
        !ParseDecimal(text.substr(slash + 1), kMaxPieces, n) || i < 1 || i > n)
        return false;
    index = static_cast<uint32_t>(i);
    count = static_cast<uint32_t>(n);
    return true;
}

PieceAssembler::Result PieceAssembler::Add(const std::string& piece, const std::string& size,
                                           const uint8_t* data, size_t n) {
    uint32_t index = 0, count = 0;
    uint64_t total = 0;
    if (!ParsePiece(piece, index, count) || !ParseDecimal(size, kMaxReplySize, total))
        return Result::kBad;
    if (count_ == 0) {
        // Each piece of a reply in several holds at least one byte.
        if (count > 1 && total < count) return Result::kBad;
        count_ = count;
        total_ = total;
        pieces_.assign(count, std::string());
        seen_.assign(count, false);
    } else if (count != count_ || total != total_) {
        return Result::kBad;
    }
    if (seen_[index - 1] || have_bytes_ + n > total_) return Result::kBad;
    seen_[index - 1] = true;
    pieces_[index - 1].assign(reinterpret_cast<const char*>(data), n);
    have_bytes_ += n;
    ++received_;
    if (received_ < count_) return Result::kNeedMore;
    if (have_bytes_ != total_) return Result::kBad;
    whole_.clear();
    whole_.reserve(static_cast<size_t>(total_));
    for (std::string& p : pieces_) {
        whole_ += p;
        std::string().swap(p);
    }
    return Result::kComplete;
}

} // namespace pm::remote
