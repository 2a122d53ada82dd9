#pragma once
// The instrument's FPGA as the USB controller sees it: halted, receiving a
// configuration of an announced number of 16-bit words, running the flash
// core, or stopped in an error after a configuration that was not the flash
// core. The only design it accepts is the expected flash core as the host
// sends it (each 16-bit word byte-swapped, each byte bit-reversed) followed by
// zero bytes up to the announced word count.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

class Fpga {
  public:
    enum class State { halted, receiving, running, error };

    // Status bits of request 193, byte 2.
    static constexpr std::uint8_t STATUS_READY = 0x04;
    static constexpr std::uint8_t STATUS_DONE = 0x02;
    static constexpr std::uint8_t STATUS_STARTED = 0x10;

    Fpga(std::span<const std::uint8_t> flash_core, std::uint32_t done_polls,
         std::uint32_t startup_polls);

    // Request 194: starts a configuration of words 16-bit words; false (and
    // nothing changes) when the count is 0 or does not fit in 24 bits.
    bool announce(std::uint32_t words);
    void halt();

    // Configuration data from bulk OUT: returns how many bytes the
    // configuration took; the rest, if the FPGA started running with them,
    // belongs to the flash core.
    std::size_t receive(std::span<const std::uint8_t> data);

    // Request 193: the status byte. Every poll after the last word moves the
    // modelled start-up on.
    std::uint8_t poll_status();

    State state() const { return state_; }
    bool running() const { return state_ == State::running; }
    std::uint64_t bytes_received() const { return received_; }
    std::uint64_t bytes_expected() const { return expected_; }
    // First byte position that did not match, when one did not.
    std::int64_t first_mismatch() const { return first_mismatch_; }

  private:
    std::uint8_t expected_byte(std::uint64_t position) const;
    void finish_configuration();

    std::vector<std::uint8_t> core_;
    std::uint32_t done_polls_;
    std::uint32_t startup_polls_;
    State state_ = State::halted;
    std::uint64_t expected_ = 0;
    std::uint64_t received_ = 0;
    std::int64_t first_mismatch_ = -1;
    std::uint32_t polls_since_done_ = 0;
};

std::uint8_t reverse_bits(std::uint8_t value);

// The byte stream the host sends for a flash core: the converted image (an
// odd image taken as padded with one zero byte) and zero_trailer zero bytes.
std::vector<std::uint8_t> flash_core_upload_stream(std::span<const std::uint8_t> flash_core,
                                                   std::size_t zero_trailer = 51200);
// The announced word count for that stream.
std::uint32_t flash_core_word_count(std::span<const std::uint8_t> flash_core,
                                    std::size_t zero_trailer = 51200);

}  // namespace sim
