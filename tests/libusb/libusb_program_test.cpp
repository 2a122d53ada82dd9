// A whole "Program" and "Verify contents" through real libusb: the window's
// commands, the worker and every flash, EEPROM and PMBus operation, against
// the simulated instrument behind umockdev's stand-in usbfs.
#include <gtest/gtest.h>

#include "window/window_port.h"
#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "images/images.h"
#include "sim/sim.h"
#include "support/recording_window_port.h"
#include "support/sim_fixture.h"
#include "support/umockdev_harness.h"

namespace {

class LibusbProgram : public testing::Test {
protected:
    void SetUp() override {
        if (!UmockdevUsbfs::preloaded()) {
            GTEST_SKIP() << "needs umockdev's preload library (run under umockdev-wrapper)";
        }
        resources_ = sim_support::resources_of(images_);
        ASSERT_TRUE(image_set_load(resources_));
        bit_reverse_table_build();
        harness_ = std::make_unique<UmockdevLibusbHarness>();
        clock_install(&harness_->clock());
        usb_install_backend(&harness_->backend_under_test());
        window_port_install(&window_);
    }

    void TearDown() override {
        device_list_release();
        window_port_install(nullptr);
        usb_install_backend(nullptr);
        clock_install(nullptr);
    }

    sim::Instrument& attach(sim::Contents contents) {
        sim::InstrumentConfig config = sim_support::instant_instrument();
        // Virtual time here also follows the real time libusb waits; an
        // instrument away for only a moment could be back before the first
        // refresh looks, so it stays away for two seconds of virtual time.
        config.timing.restart_back_us = 2'000'000;
        config.initial = sim::InitialState::all(contents);
        config.initial.eeprom = sim::Contents::older;  // an empty EEPROM shows no interface
        return harness_->bus().attach(std::move(config), images_.set());
    }

    void run(int program_mode) {
        device_list_refresh(nullptr);
        ASSERT_EQ(window_.combo_items().size(), 1U);
        ASSERT_EQ(program_command(window_.device_combo_selection(), program_mode), 1);
        worker_wait();
    }

    bool holds_set(const sim::Instrument& instrument) {
        auto lock = harness_->bus().lock();
        return sim_support::instrument_holds_set(instrument, images_.set());
    }

    std::vector<std::uint8_t> flash_copy(const sim::Instrument& instrument) {
        auto lock = harness_->bus().lock();
        const auto bytes = instrument.flash(0).bytes();
        return {bytes.begin(), bytes.end()};
    }

    sim::SyntheticImages images_{3, sim_support::loadable_sizes()};
    sim_support::BlobResourceSource resources_;
    std::unique_ptr<UmockdevLibusbHarness> harness_;
    RecordingWindowPort window_;
};

TEST_F(LibusbProgram, ProgramBringsAnOlderInstrumentUpToDate) {
    sim::Instrument& instrument = attach(sim::Contents::older);
    ASSERT_FALSE(holds_set(instrument));

    run(1);

    ASSERT_EQ(window_.message_boxes.size(), 1U) << window_.log();
    EXPECT_EQ(window_.message_boxes[0].icon, MessageIcon::information);
    EXPECT_EQ(window_.message_boxes[0].text,
              "All the internal firmwares are up to date.\r\n"
              "Please power-cycle the device to resume normal operation.");
    EXPECT_NE(window_.log().find("Restarting the device ... done\r\n"), std::string::npos);
    EXPECT_NE(window_.log().find("Programming power supply B ... done\r\n"), std::string::npos);
    EXPECT_TRUE(holds_set(instrument));
    EXPECT_EQ(harness_->bus().open_handle_count(), 0U);
}

TEST_F(LibusbProgram, VerifyContentsOfACurrentInstrument) {
    sim::Instrument& instrument = attach(sim::Contents::current);
    const auto flash_before = flash_copy(instrument);
    run(0);

    ASSERT_EQ(window_.message_boxes.size(), 1U) << window_.log();
    // The boot EEPROM holds the older image: only the USB firmware needs an update.
    EXPECT_EQ(window_.message_boxes[0].icon, MessageIcon::warning) << window_.log();
    EXPECT_NE(window_.log().find("Checking bitstream ... up to date\r\n"), std::string::npos);
    EXPECT_NE(window_.log().find("Checking factory bitstream ... up to date\r\n"), std::string::npos);
    EXPECT_NE(window_.log().find("Checking USB firmware ... needs update\r\n"), std::string::npos);
    EXPECT_EQ(flash_copy(instrument), flash_before) << "a check wrote to the flash";
    EXPECT_EQ(harness_->bus().open_handle_count(), 0U);
}

}  // namespace
