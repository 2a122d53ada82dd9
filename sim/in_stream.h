#pragma once
// The bytes the instrument has for bulk IN endpoint 0x86, in order, as the
// USB controller's FIFO sends them: in packets of at most 512 bytes (the
// endpoint's high-speed wMaxPacketSize). Each piece the FPGA hands over ends
// its packet: it goes out as full packets and a short one, and a piece that
// fills a whole number of packets is followed by a zero-length packet. A read
// ends with a short or zero-length packet, with a full buffer, or when no
// further packet is there yet (USB 2.0, 5.8.3). Each piece becomes readable
// at its own virtual time; since the stream is one FIFO, a piece never
// becomes readable before the one queued ahead of it.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace sim {

class InStream {
  public:
    static constexpr std::size_t MAX_PACKET_SIZE = 512;

    void push(std::vector<std::uint8_t> bytes, std::uint64_t ready_us);

    // When the first byte not yet read becomes readable; nullopt when empty.
    std::optional<std::uint64_t> next_ready_us() const;
    // The bytes one read of `length` bytes would take at time_us.
    std::size_t readable_at(std::uint64_t time_us, std::size_t length) const;
    // One read: moves the packets readable at time_us that it takes into out
    // (at most out.size() bytes); the count moved. A packet larger than the
    // room left is not taken (the host would see it overflow the buffer).
    std::size_t take(std::span<std::uint8_t> out, std::uint64_t time_us);
    // A producer that commits its packets early: the next read gets at most
    // `bytes` of the first packet, the rest stays for the one after.
    std::size_t take_cut(std::span<std::uint8_t> out, std::uint64_t time_us, std::size_t bytes);
    // A read cancelled at time_us: a packet that had arrived by then went
    // into the cancelled transfer and is gone.
    void lose_to_cancelled_read(std::uint64_t time_us);

    // Drops every byte not yet readable at time_us (what a halted producer
    // would never have sent); all of them when time_us is nullopt.
    void drop_after(std::optional<std::uint64_t> time_us);
    std::size_t queued() const;

  private:
    struct Packet {
        std::vector<std::uint8_t> bytes;  // empty: a zero-length packet
        std::uint64_t ready_us = 0;
        std::size_t consumed = 0;  // of a packet cut by take_cut
    };
    // Walks the packets one read would take; calls taken(packet) for each.
    template <typename Taken>
    std::size_t walk_read(std::uint64_t time_us, std::size_t length, Taken taken) const;
    std::deque<Packet> pieces_;
    std::uint64_t last_ready_us_ = 0;
};

}  // namespace sim
