#include "sim/in_stream.h"

#include <algorithm>

namespace sim {

void InStream::push(std::vector<std::uint8_t> bytes, std::uint64_t ready_us) {
    if (bytes.empty()) {
        return;
    }
    last_ready_us_ = std::max(last_ready_us_, ready_us);
    for (std::size_t at = 0; at < bytes.size(); at += MAX_PACKET_SIZE) {
        const std::size_t size = std::min(MAX_PACKET_SIZE, bytes.size() - at);
        const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        pieces_.push_back(
            Packet{{first, first + static_cast<std::ptrdiff_t>(size)}, last_ready_us_});
    }
    if (bytes.size() % MAX_PACKET_SIZE == 0) {
        pieces_.push_back(Packet{{}, last_ready_us_});
    }
}

std::optional<std::uint64_t> InStream::next_ready_us() const {
    if (pieces_.empty()) {
        return std::nullopt;
    }
    return pieces_.front().ready_us;
}

template <typename Taken>
std::size_t InStream::walk_read(std::uint64_t time_us, std::size_t length, Taken taken) const {
    std::size_t moved = 0;
    for (const Packet& packet : pieces_) {
        const std::size_t size = packet.bytes.size() - packet.consumed;
        if (packet.ready_us > time_us || size > length - moved) {
            break;
        }
        taken(packet, moved);
        moved += size;
        if (size < MAX_PACKET_SIZE || moved == length) {
            break;  // a short packet, or the buffer full, ends the transfer
        }
    }
    return moved;
}

std::size_t InStream::readable_at(std::uint64_t time_us, std::size_t length) const {
    return walk_read(time_us, length, [](const Packet&, std::size_t) {});
}

std::size_t InStream::take(std::span<std::uint8_t> out, std::uint64_t time_us) {
    std::size_t packets = 0;
    const std::size_t moved =
        walk_read(time_us, out.size(), [&](const Packet& packet, std::size_t at) {
            std::copy(packet.bytes.begin() + static_cast<std::ptrdiff_t>(packet.consumed),
                      packet.bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
            ++packets;
        });
    pieces_.erase(pieces_.begin(), pieces_.begin() + static_cast<std::ptrdiff_t>(packets));
    return moved;
}

std::size_t InStream::take_cut(std::span<std::uint8_t> out, std::uint64_t time_us,
                               std::size_t bytes) {
    if (pieces_.empty() || pieces_.front().ready_us > time_us) {
        return 0;
    }
    Packet& packet = pieces_.front();
    const std::size_t left = packet.bytes.size() - packet.consumed;
    const std::size_t count = std::min({bytes, out.size(), left});
    std::copy_n(packet.bytes.begin() + static_cast<std::ptrdiff_t>(packet.consumed), count,
                out.begin());
    packet.consumed += count;
    if (packet.consumed == packet.bytes.size()) {
        pieces_.pop_front();
    }
    return count;
}

void InStream::lose_to_cancelled_read(std::uint64_t time_us) {
    if (!pieces_.empty() && pieces_.front().ready_us <= time_us) {
        pieces_.pop_front();
    }
}

void InStream::drop_after(std::optional<std::uint64_t> time_us) {
    while (!pieces_.empty() && (!time_us || pieces_.back().ready_us > *time_us)) {
        pieces_.pop_back();
    }
    last_ready_us_ = pieces_.empty() ? 0 : pieces_.back().ready_us;
}

std::size_t InStream::queued() const {
    std::size_t count = 0;
    for (const Packet& packet : pieces_) {
        count += packet.bytes.size() - packet.consumed;
    }
    return count;
}

}  // namespace sim
