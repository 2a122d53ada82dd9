#pragma once
// The bytes the instrument has for bulk IN endpoint 0x86, in order. Each
// piece becomes readable at its own virtual time; since the stream is one
// FIFO, a piece never becomes readable before the one queued ahead of it.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace sim {

class InStream {
  public:
    void push(std::vector<std::uint8_t> bytes, std::uint64_t ready_us);

    // When the first byte not yet read becomes readable; nullopt when empty.
    std::optional<std::uint64_t> next_ready_us() const;
    std::size_t readable_at(std::uint64_t time_us) const;
    // Moves up to out.size() bytes readable at time_us into out; the count moved.
    std::size_t take(std::span<std::uint8_t> out, std::uint64_t time_us);

    // Drops every byte not yet readable at time_us (what a halted producer
    // would never have sent); all of them when time_us is nullopt.
    void drop_after(std::optional<std::uint64_t> time_us);
    std::size_t queued() const;

  private:
    struct Piece {
        std::vector<std::uint8_t> bytes;
        std::size_t consumed = 0;
        std::uint64_t ready_us = 0;
    };
    std::deque<Piece> pieces_;
    std::uint64_t last_ready_us_ = 0;
};

}  // namespace sim
