// A reply larger than the server's maximum payload travels as numbered pieces to the same
// reply subject, each with "Pm-Status: 0", "Pm-Piece: i/n" (1-based) and "Pm-Size: <total>";
// a reply in one piece carries "Pm-Piece: 1/1". The console puts them back in order.
// Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "shared/remote/statuses.h"

namespace pm::remote {

// Room left for the header block in every message.
constexpr size_t kHeaderRoom = 1024;
// Pieces are never smaller than this, whatever a server announces.
constexpr size_t kMinPiece = 64;
// A reply is never larger than this (the messaging library's 32-bit length is far above).
constexpr uint64_t kMaxReplySize = 256ull * 1024 * 1024;

// The largest piece for a server's announced max_payload: max_payload - 1 KiB, or half of a
// limit below 2 KiB.
size_t PieceSize(int64_t max_payload);
// How many pieces a reply of `total` bytes takes (1 for an empty reply).
uint32_t PieceCount(size_t total, size_t piece_size);

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The headers of piece `index` (1-based) of `count`, for a reply of `total` bytes.
HeaderList PieceHeaders(uint32_t index, uint32_t count, uint64_t total);
// The header of a gate status without payload.
HeaderList StatusHeaders(GateStatus status);

// "i/n" with 1 <= i <= n <= 1,000,000; false otherwise.
bool ParsePiece(const std::string& text, uint32_t& index, uint32_t& count);

// Collects the pieces of one reply.
class PieceAssembler {
public:
    enum class Result {
        kNeedMore, // waiting for more pieces
        kComplete, // Reply() holds the whole reply
        kBad,      // a piece disagrees with the others (count, size, a duplicate, too long)
    };
    // `piece` and `size` are the header values as received (empty when absent).
    Result Add(const std::string& piece, const std::string& size, const uint8_t* data, size_t n);
    [[nodiscard]] const std::string& Reply() const { return whole_; }
    [[nodiscard]] uint32_t Received() const { return received_; }
    [[nodiscard]] uint32_t Expected() const { return count_; }

private:
    uint32_t count_ = 0;
    uint32_t received_ = 0;
    uint64_t total_ = 0;
    uint64_t have_bytes_ = 0;
    std::vector<std::string> pieces_;
    std::vector<bool> seen_;
    std::string whole_;
};

} // namespace pm::remote
