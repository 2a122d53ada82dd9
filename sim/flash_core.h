#pragma once
// The flash core: the FPGA design that gives the host its two configuration
// flash devices. It cuts command frames out of the bulk OUT byte stream
// (magic, word count, two reserved words, payload; frames may be split across
// transfers or packed several to one) and answers on the IN stream with
// frames of the same layout, each after the time its operation takes. All of
// its state is volatile: the FPGA loses it when it is halted or reconfigured.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/faults.h"
#include "sim/in_stream.h"
#include "sim/nor_flash.h"
#include "sim/timing.h"

namespace sim {

constexpr std::uint32_t FRAME_MAGIC_WORD = 0x00005A47;
constexpr std::size_t FRAME_HEADER_BYTES = 16;
// The longest frame the core takes: a page program (command word and 256 bytes).
constexpr std::uint32_t FRAME_MAX_WORDS = 65;

// A frame of the bulk pipes' layout around payload (padded to whole words).
std::vector<std::uint8_t> make_frame(std::span<const std::uint8_t> payload);
std::vector<std::uint8_t> make_command_frame(std::uint32_t command_word,
                                             std::span<const std::uint8_t> data = {});

class FlashCore {
  public:
    static constexpr std::uint32_t DEFAULT_READ_REPLY_BYTES = 1024;

    FlashCore(std::array<NorFlash, 2>& flashes, InStream& replies, const Timing& timing,
              Faults& faults);

    // Bytes from bulk OUT that reached the core at arrival_us.
    void receive(std::span<const std::uint8_t> bytes, std::uint64_t arrival_us);
    // Back to power-on state: no partial frame, device 0, mode 0, not updating.
    // An erase or page program the flash devices are carrying out goes on.
    void reset();
    // The power fails at now_us: an erase or page program the flash had not
    // finished is left partly done (see TimedOperation), one not yet begun
    // is not done at all.
    void lose_power(std::uint64_t now_us);

    // Payload bytes of one read reply (rounded down to whole words, at least 4).
    void set_read_reply_bytes(std::uint32_t bytes);

    int selected_device() const { return selected_; }
    std::uint32_t mode() const { return mode_; }
    bool updating() const { return updating_; }
    std::uint64_t frames_executed() const { return frames_executed_; }

    // The modes the core knows: commands that change the flash take effect
    // only in the update mode (and between UPDATE_BEGIN and the closing
    // pair), reads are answered only in the read mode.
    static constexpr std::uint32_t MODE_READ = 0;
    static constexpr std::uint32_t MODE_UPDATE = 5;

  private:
    // An erase or page program as the flash carries it out: from start_us to
    // end_us, front to back. The bytes it changes are kept as they were before,
    // so that a power loss in between can leave the part not yet reached as it
    // was: a partly erased sector, a partly written page.
    struct TimedOperation {
        int device = 0;
        std::uint32_t first = 0;
        std::vector<std::uint8_t> before;
        std::uint64_t start_us = 0;
        std::uint64_t end_us = 0;
    };
    // Starts an operation on [first, first + size) of the selected device at
    // the time the core gets to it; returns when it ends.
    std::uint64_t begin_operation(std::uint32_t first, std::uint32_t size, std::uint64_t arrival_us,
                                  std::uint64_t duration_us);
    bool may_change_flash() const { return mode_ == MODE_UPDATE && updating_; }

    void consume(std::uint8_t byte, std::uint64_t arrival_us);
    void execute(std::uint64_t arrival_us);
    void execute_control(std::uint32_t word, std::uint64_t arrival_us);
    void page_program(std::uint32_t address, std::uint64_t arrival_us);
    void erase(std::uint32_t address, std::uint64_t arrival_us);
    void read(std::uint32_t address, std::uint64_t arrival_us);
    // Queues a reply frame that is ready duration_us after the core is free.
    void reply(std::span<const std::uint8_t> payload, std::uint64_t arrival_us,
               std::uint64_t duration_us);
    NorFlash& flash() { return flashes_[static_cast<std::size_t>(selected_)]; }

    std::array<NorFlash, 2>& flashes_;
    InStream& replies_;
    const Timing& timing_;
    Faults& faults_;
    std::uint32_t read_reply_bytes_ = DEFAULT_READ_REPLY_BYTES;

    // Frame parser.
    int state_ = 0;
    std::uint32_t window_ = 0;
    std::uint32_t counter_ = 0;
    std::uint32_t words_ = 0;
    std::vector<std::uint8_t> payload_;

    int selected_ = 0;
    std::uint32_t mode_ = 0;
    bool updating_ = false;
    std::uint64_t busy_until_us_ = 0;
    std::vector<std::uint8_t> last_reply_;
    std::uint64_t frames_executed_ = 0;
    std::vector<TimedOperation> operations_;  // those that may not have ended yet
};

}  // namespace sim
