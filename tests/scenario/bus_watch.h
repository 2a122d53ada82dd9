#pragma once
// What the command tests see of the bus and the window besides the simulated
// instrument itself: the flash command frames going out, the records the core
// holds open, a hook at the moment a transfer goes out, and message boxes
// that keep the worker waiting like a user who has not clicked OK yet.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "device/forwarding_backend.h"
#include "device/usb.h"
#include "sim/flash_core.h"
#include "sim/image_set.h"
#include "sim/sim_backend.h"
#include "support/recording_window_port.h"

namespace command_test {

// ---- flash command frames on the wire ----

constexpr std::uint32_t FRAME_HEADER = 16;

inline std::uint32_t word_at(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
           std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

// Calls visit with the command word of every whole frame in one bulk OUT buffer.
inline void for_each_command_word(std::span<const std::uint8_t> bytes,
                                  const std::function<void(std::uint32_t)>& visit) {
    std::size_t at = 0;
    while (at + FRAME_HEADER + 4 <= bytes.size() && word_at(bytes, at) == sim::FRAME_MAGIC_WORD) {
        visit(word_at(bytes, at + FRAME_HEADER));
        at += FRAME_HEADER + std::size_t{word_at(bytes, at + 4)} * 4;
    }
}

constexpr std::uint32_t opcode_of(std::uint32_t word) {
    return word & 0xFF000000;
}
constexpr std::uint32_t address_of(std::uint32_t word) {
    return word & 0x00FFFFFF;
}

// Follows the device selection of the frames going out and tells when a
// command of one opcode is aimed inside the flash region of a selector.
class RegionWatch {
  public:
    RegionWatch(std::uint32_t opcode, int selector, const sim::ImageSet& images)
        : opcode_(opcode),
          placement_(sim::flash_placement(selector)),
          length_(static_cast<std::uint32_t>(images.flash_image(selector).size())) {}

    bool hits(std::span<const std::uint8_t> bytes) {
        bool hit = false;
        for_each_command_word(bytes, [&](std::uint32_t word) {
            if (opcode_of(word) == 0x05000000) {
                selected_ = static_cast<int>(word & 0xFF);
            } else if (opcode_of(word) == opcode_ && selected_ == placement_.device &&
                       address_of(word) >= placement_.start &&
                       address_of(word) < placement_.start + length_) {
                hit = true;
            }
        });
        return hit;
    }

  private:
    std::uint32_t opcode_;
    sim::FlashPlacement placement_;
    std::uint32_t length_;
    int selected_ = 0;
};

// ---- the watching backend ----

// Passes everything to the simulated bus; keeps the records the core holds
// open, and lets a test act at the moment a given transfer goes out (on the
// thread that sends it, before the bus sees it).
class WatchedBackend final : public ForwardingUsbBackend {
  public:
    explicit WatchedBackend(sim::SimBackend& bus) : ForwardingUsbBackend(bus) {}

    std::size_t open_handles() const {
        const std::lock_guard lock(mutex_);
        return open_.size();
    }

    std::function<void(std::span<const std::uint8_t>)> before_bulk_out;
    std::function<void(const UsbSetupPacket&)> before_control;

    int open(UsbDevice& device) override {
        const int result = ForwardingUsbBackend::open(device);
        if (result == 0) {
            const std::lock_guard lock(mutex_);
            open_.insert(&device);
        }
        return result;
    }
    void close(UsbDevice& device) override {
        ForwardingUsbBackend::close(device);
        const std::lock_guard lock(mutex_);
        open_.erase(&device);
    }
    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override {
        if (before_control) {
            before_control(setup);
        }
        return ForwardingUsbBackend::control_transfer(device, setup, data);
    }
    bool start_write(UsbDevice& device, PipeState& pipe,
                     std::span<const std::uint8_t> data) override {
        if (before_bulk_out) {
            before_bulk_out(data);
        }
        return ForwardingUsbBackend::start_write(device, pipe, data);
    }

  private:
    mutable std::mutex mutex_;
    std::set<const UsbDevice*> open_;
};

// ---- the window ----

// A recording window whose message boxes, once held, keep the thread that
// shows one waiting until the test lets it go, as an open box keeps the
// worker waiting for the user. Boxes of the test's own thread never wait.
class HoldingWindowPort final : public RecordingWindowPort {
  public:
    void hold_boxes() {
        const std::lock_guard lock(gate_);
        holding_ = true;
    }
    void release_boxes() {
        {
            const std::lock_guard lock(gate_);
            holding_ = false;
        }
        changed_.notify_all();
    }
    // Waits until another thread is kept waiting in a box.
    void await_held_box() {
        std::unique_lock lock(gate_);
        changed_.wait(lock, [this] { return waiting_ > 0; });
    }

    void message_box(const char* text, MessageIcon icon) override {
        RecordingWindowPort::message_box(text, icon);
        if (std::this_thread::get_id() == owner_) {
            return;
        }
        std::unique_lock lock(gate_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holding_; });
        --waiting_;
    }

  private:
    const std::thread::id owner_ = std::this_thread::get_id();
    std::mutex gate_;
    std::condition_variable changed_;
    bool holding_ = false;
    int waiting_ = 0;
};

}  // namespace command_test
