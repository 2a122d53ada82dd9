#pragma once
// The program's core driven as the window drives it, against simulated
// instruments: a virtual clock, a SimBackend behind a watching backend, a
// recording window, and an image set loaded through the loading rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "window/window_port.h"
#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "images/images.h"
#include "scenario/bench_images.h"
#include "scenario/bus_watch.h"
#include "sim/sim.h"

namespace command_test {

class CommandTest : public ::testing::Test {
  protected:
    CommandTest() : CommandTest(load_bench_images()) {}

    explicit CommandTest(LoadedImages images) : images_loaded_(images.loaded), images_(images.set) {
        usb_install_backend(&watched_);
        window_port_install(&window_);
    }

    ~CommandTest() override {
        window_.release_boxes();
        worker_wait();
        device_list_release();
        remembered_device_path().clear();
        window_port_install(nullptr);
        usb_install_backend(nullptr);
    }

    void SetUp() override { ASSERT_TRUE(images_loaded_) << "the image set did not load"; }

    const sim::ImageSet& images() const { return images_; }

    sim::InstrumentConfig config(std::int32_t device_number, sim::InitialState initial = {},
                                 sim::Timing timing = sim::Timing::instant()) const {
        sim::InstrumentConfig made;
        made.device_number = device_number;
        made.initial = initial;
        made.timing = timing;
        return made;
    }

    sim::Instrument& attach(sim::InstrumentConfig instrument) {
        return bus_.attach(std::move(instrument), images_);
    }
    sim::Instrument& attach(std::int32_t device_number, sim::InitialState initial = {},
                            sim::Timing timing = sim::Timing::instant()) {
        return attach(config(device_number, initial, timing));
    }

    // "Program" (1) or "Verify contents" (0) on the selected instrument, as the
    // window gives it, then the wait for the worker's end.
    int run_command(int program_mode) {
        const int result = program_command(window_.combo_selection(), program_mode);
        worker_wait();
        return result;
    }

    // Changes an instrument's faults under the bus's lock (also from a hook on
    // the worker's thread: the bus is not inside a call then).
    void with_faults(sim::Instrument& instrument, const std::function<void(sim::Faults&)>& change) {
        const auto lock = bus_.lock();
        change(instrument.faults());
    }
    void clear_faults(sim::Instrument& instrument) {
        with_faults(instrument, [](sim::Faults& faults) { faults = sim::Faults{}; });
    }

    // ---- what the instrument holds ----

    bool holds_flash_image(const sim::Instrument& instrument, int selector) const {
        const auto image = images_.flash_image(selector);
        const sim::FlashPlacement placement = sim::flash_placement(selector);
        const auto stored = instrument.flash(placement.device)
                                .read(placement.start, static_cast<std::uint32_t>(image.size()));
        return std::equal(image.begin(), image.end(), stored.begin(), stored.end());
    }

    bool holds_usb_firmware(const sim::Instrument& instrument) const {
        const auto image = images_.usb_firmware;
        const auto eeprom = instrument.eeprom().bytes().first(image.size());
        return std::equal(image.begin(), image.end(), eeprom.begin(), eeprom.end());
    }

    // Every setting of the supply's script, working and stored, as a supply
    // configured with it and stored holds them.
    bool supply_holds_script(const sim::Instrument& instrument, int which) const {
        const auto script = which == 0 ? images_.supply_a_script : images_.supply_b_script;
        sim::PowerSupply reference(which == 0 ? BUS_ADDRESS_SUPPLY_A : BUS_ADDRESS_SUPPLY_B);
        reference.apply_script(script);
        const sim::PowerSupply& supply = instrument.supply(which);
        bool same = true;
        int page = 0;
        int table = 0;
        sim::for_each_script_record(script, [&](const sim::ScriptRecord& record) {
            if (record.code == sim::pmbus::PAGE) {
                page = record.value & 0xFF;
                return;
            }
            if (record.code == sim::pmbus::TABLE_SELECT) {
                table = record.value & 0xFF;
            }
            if (record.command.kind == sim::PmbusKind::send) {
                return;
            }
            const int index = record.code == sim::pmbus::TABLE_DATA ? table : 0;
            const auto expected = reference.stored(record.code, page, index);
            same = same && supply.stored(record.code, page, index) == expected &&
                   supply.working(record.code, page, index) == expected;
        });
        return same;
    }

    bool holds_current_set(const sim::Instrument& instrument) const {
        for (int selector = 0; selector < sim::FLASH_IMAGE_COUNT; ++selector) {
            if (!holds_flash_image(instrument, selector)) {
                return false;
            }
        }
        return holds_usb_firmware(instrument) && supply_holds_script(instrument, 0) &&
               supply_holds_script(instrument, 1);
    }

    // ---- what went over the wire ----

    static std::vector<sim::TransferRecord> controls(const sim::Instrument& instrument,
                                                     std::size_t from = 0) {
        std::vector<sim::TransferRecord> found;
        const auto& transfers = instrument.transfers();
        for (std::size_t i = from; i < transfers.size(); ++i) {
            if (transfers[i].kind == sim::TransferKind::control) {
                found.push_back(transfers[i]);
            }
        }
        return found;
    }

    // How many flash commands of an opcode the instrument was sent.
    static int flash_commands(const sim::Instrument& instrument, std::uint32_t opcode,
                              std::size_t from = 0) {
        int count = 0;
        const auto& transfers = instrument.transfers();
        for (std::size_t i = from; i < transfers.size(); ++i) {
            const sim::TransferRecord& transfer = transfers[i];
            if (transfer.kind == sim::TransferKind::bulk && !transfer.in) {
                for_each_command_word(transfer.data, [&](std::uint32_t word) {
                    count += opcode_of(word) == opcode ? 1 : 0;
                });
            }
        }
        return count;
    }

    // ---- what the window showed ----

    // Where the overall bar stood each time an operation began: the current-task
    // bar set to 0 and then the overall bar (a report of a first chunk looks the
    // same and repeats the start, so repeats are dropped).
    std::vector<std::uint32_t> operation_starts() const {
        std::vector<std::uint32_t> starts;
        const auto& calls = window_.progress_calls;
        for (std::size_t i = 1; i < calls.size(); ++i) {
            if (calls[i - 1].control == IDC_TASK_PROGRESS && calls[i - 1].position == 0 &&
                calls[i].control == IDC_OVERALL_PROGRESS) {
                starts.push_back(calls[i].position);
            }
        }
        starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
        return starts;
    }

    // A bar's positions with repeats of the same position dropped.
    std::vector<std::uint32_t> distinct_positions(int control) const {
        std::vector<std::uint32_t> positions = window_.progress_history(control);
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        return positions;
    }

    // After every command: the commands usable again and nothing left open.
    void expect_idle_window() const {
        EXPECT_FALSE(worker_busy());
        EXPECT_TRUE(window_.enabled(IDC_PROGRAM));
        EXPECT_TRUE(window_.enabled(IDC_REFRESH));
        EXPECT_TRUE(window_.enabled(IDM_POWER_CYCLE));
        EXPECT_TRUE(window_.enabled(IDM_FPGA_HALT));
        EXPECT_TRUE(window_.enabled(IDM_VERIFY_CONTENTS));
        EXPECT_EQ(window_.progress(IDC_OVERALL_PROGRESS), 0U);
        EXPECT_EQ(window_.progress(IDC_TASK_PROGRESS), 0U);
        EXPECT_EQ(watched_.open_handles(), 0U);
    }

    sim::VirtualClock clock_;
    sim::InstalledVirtualClock installed_clock_{clock_};
    sim::SimBackend bus_{clock_};
    WatchedBackend watched_{bus_};
    HoldingWindowPort window_;
    bool images_loaded_ = false;
    sim::ImageSet images_;
};

}  // namespace command_test
