#include "sim/in_stream.h"

#include <algorithm>

namespace sim {

void InStream::push(std::vector<std::uint8_t> bytes, std::uint64_t ready_us) {
    if (bytes.empty()) {
        return;
    }
    last_ready_us_ = std::max(last_ready_us_, ready_us);
    pieces_.push_back(Piece{std::move(bytes), 0, last_ready_us_});
}

std::optional<std::uint64_t> InStream::next_ready_us() const {
    if (pieces_.empty()) {
        return std::nullopt;
    }
    return pieces_.front().ready_us;
}

std::size_t InStream::readable_at(std::uint64_t time_us) const {
    std::size_t count = 0;
    for (const Piece& piece : pieces_) {
        if (piece.ready_us > time_us) {
            break;
        }
        count += piece.bytes.size() - piece.consumed;
    }
    return count;
}

std::size_t InStream::take(std::span<std::uint8_t> out, std::uint64_t time_us) {
    std::size_t moved = 0;
    while (moved < out.size() && !pieces_.empty() && pieces_.front().ready_us <= time_us) {
        Piece& piece = pieces_.front();
        const std::size_t count = std::min(out.size() - moved, piece.bytes.size() - piece.consumed);
        std::copy_n(piece.bytes.begin() + static_cast<std::ptrdiff_t>(piece.consumed), count,
                    out.begin() + static_cast<std::ptrdiff_t>(moved));
        moved += count;
        piece.consumed += count;
        if (piece.consumed == piece.bytes.size()) {
            pieces_.pop_front();
        }
    }
    return moved;
}

void InStream::drop_after(std::optional<std::uint64_t> time_us) {
    while (!pieces_.empty() && (!time_us || pieces_.back().ready_us > *time_us)) {
        pieces_.pop_back();
    }
    last_ready_us_ = pieces_.empty() ? 0 : pieces_.back().ready_us;
}

std::size_t InStream::queued() const {
    std::size_t count = 0;
    for (const Piece& piece : pieces_) {
        count += piece.bytes.size() - piece.consumed;
    }
    return count;
}

}  // namespace sim
