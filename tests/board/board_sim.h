#pragma once
// One simulated instrument, attached and opened through the core's usb_*
// functions, on a virtual clock, with a recording window: what the board
// operations need to be driven the way the programming worker drives them.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "window/window_port.h"
#include "device/usb.h"
#include "sim/sim.h"
#include "support/recording_window_port.h"

namespace board_test {

// The embedded USB controller image is 8040 bytes; the synthetic one is made
// the same size so that the chunking is the real one.
constexpr std::size_t USB_FIRMWARE_SIZE = 8040;

inline sim::SyntheticSizes board_image_sizes() {
    sim::SyntheticSizes sizes;
    sizes.usb_firmware = USB_FIRMWARE_SIZE;
    return sizes;
}

class BoardSimTest : public ::testing::Test {
  protected:
    BoardSimTest() {
        usb_install_backend(&backend_);
        window_port_install(&window_);
    }

    ~BoardSimTest() override {
        if (device_ != nullptr) {
            usb_close_device(device_);
        }
        usb_free_device_list(list_);
        window_port_install(nullptr);
        usb_install_backend(nullptr);
    }

    // Attaches one instrument with instant timing (only the program's own
    // pauses move the clock) and opens it.
    void attach(sim::InitialState initial = {}, bool linear11_reencoding = false) {
        sim::InstrumentConfig config;
        config.timing = sim::Timing::instant();
        config.initial = initial;
        config.linear11_reencoding = linear11_reencoding;
        instrument_ = &backend_.attach(std::move(config), images_.set());
        const char* guid = INSTRUMENT_INTERFACE_GUID;
        usb_find_devices(&guid, 1, &list_);
        ASSERT_NE(list_, nullptr);
        ASSERT_EQ(usb_open_device(list_, 1), 0);
        device_ = list_;
    }

    sim::Instrument& instrument() { return *instrument_; }

    // Power off and on, and the instrument opened again.
    void power_cycle_and_reopen() {
        usb_close_device(device_);
        usb_free_device_list(list_);
        device_ = list_ = nullptr;
        instrument_->lose_power(clock_.now_us());
        clock_.advance_us(1'000'000);
        backend_.settle();
        const char* guid = INSTRUMENT_INTERFACE_GUID;
        usb_find_devices(&guid, 1, &list_);
        ASSERT_NE(list_, nullptr);
        ASSERT_EQ(usb_open_device(list_, 1), 0);
        device_ = list_;
    }
    sim::PowerSupply& supply_a() { return instrument_->supply(0); }

    // Marks the transfers made so far, so that a test sees only its own.
    void mark_transfers() { mark_ = instrument_->transfers().size(); }

    std::vector<sim::TransferRecord> transfers() const {
        const auto& all = instrument_->transfers();
        return {all.begin() + static_cast<std::ptrdiff_t>(mark_), all.end()};
    }

    std::uint64_t now_us() const { return clock_.now_us(); }

    sim::VirtualClock clock_;
    sim::InstalledVirtualClock installed_clock_{clock_};
    sim::SimBackend backend_{clock_};
    RecordingWindowPort window_;
    sim::SyntheticImages images_{1, board_image_sizes()};
    UsbDevice* device_ = nullptr;

  private:
    sim::Instrument* instrument_ = nullptr;
    UsbDevice* list_ = nullptr;
    std::size_t mark_ = 0;
};

inline std::vector<std::uint8_t> bytes_of(std::span<const std::uint8_t> span) {
    return {span.begin(), span.end()};
}

}  // namespace board_test
