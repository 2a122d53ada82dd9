// The window's device commands against simulated instruments: the restart
// before a run, whole "Program" and "Verify contents" runs as the log and the
// message boxes show them, the halt and power-cycle requests, and the
// refusals and failures of the commands themselves. A whole session (the
// restart's real pace, a long log, the program's end) is in the scenarios.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "scenario/command_fixture.h"
#include "scenario/run_texts.h"

namespace {

using namespace command_test;
using sim::Contents;
using sim::InitialState;

class DeviceCommands : public CommandTest {
  protected:
    // An instrument listed and selected, as after the window's first refresh.
    sim::Instrument& listed(InitialState initial, sim::Timing timing = sim::Timing::instant()) {
        sim::Instrument& instrument = attach(11, initial, timing);
        device_list_refresh(nullptr);
        return instrument;
    }

    // Supply B with an earlier date than its script: the only item out of date.
    void make_supply_b_older(sim::Instrument& instrument) {
        const auto date = sim::older_date(std::span(images().supply_b_script).subspan(3, 6));
        const auto lock = bus_.lock();
        instrument.supply(1).set_working(sim::pmbus::MFR_DATE, date);
        instrument.supply(1).set_stored(sim::pmbus::MFR_DATE, date);
    }

    // The setup packets of the control requests from a point of the record on.
    static std::vector<std::string> setups(const sim::Instrument& instrument, std::size_t from,
                                           std::size_t count) {
        std::vector<std::string> found;
        for (const sim::TransferRecord& transfer : controls(instrument, from)) {
            if (found.size() == count) {
                break;
            }
            char text[64];
            std::snprintf(text, sizeof text, "%02X %u %04X %04X %u", transfer.setup.request_type,
                          transfer.setup.request, transfer.setup.value, transfer.setup.index,
                          transfer.setup.length);
            found.emplace_back(text);
        }
        return found;
    }

    std::vector<RecordingWindowPort::MessageBoxCall> boxes() const { return window_.message_boxes; }

    int refreshes() const {
        int count = 0;
        for (const std::string& call : window_.calls) {
            count += call == "device_combo_reset" ? 1 : 0;
        }
        return count;
    }
};

// The restart as it goes out: halt, 0xDB to supply A and B, 198, 197, and
// then the identification read of the refresh that sees it back.
const std::vector<std::string> RESTART_ON_THE_WIRE = {
    "C0 194 0000 0400 16", "40 176 0134 00DB 0", "40 176 0135 00DB 0",
    "40 198 0000 0000 0",  "40 197 0000 0000 0", "C0 176 0251 3000 22",
};

void expect_single_box(const std::vector<RecordingWindowPort::MessageBoxCall>& boxes,
                       const std::string& text, MessageIcon icon) {
    ASSERT_EQ(boxes.size(), 1U);
    EXPECT_EQ(boxes[0].text, text);
    EXPECT_EQ(boxes[0].icon, icon);
}

// ---- Program ----

TEST_F(DeviceCommands, ProgramBringsAnOlderInstrumentUpToDate) {
    sim::Instrument& instrument = listed(InitialState::all(Contents::older));
    window_.log_set_text("text of an earlier run\r\n");
    const std::size_t before = instrument.transfers().size();

    EXPECT_EQ(run_command(1), 1);

    EXPECT_EQ(window_.log(), RESTARTED + UPLOADED + ALL_CHECKS_OUT_OF_DATE + PROGRAMMED_EVERYTHING);
    expect_single_box(boxes(), UP_TO_DATE, MessageIcon::information);
    EXPECT_EQ(setups(instrument, before, 6), RESTART_ON_THE_WIRE);
    EXPECT_TRUE(holds_current_set(instrument));
    EXPECT_EQ(window_.combo_selection(), 0);
    expect_idle_window();
}

TEST_F(DeviceCommands, ProgramWithOnlySupplyBOutOfDateTouchesNothingElse) {
    sim::Instrument& instrument = listed({});
    make_supply_b_older(instrument);
    ASSERT_FALSE(supply_holds_script(instrument, 1));
    const std::size_t before = instrument.transfers().size();

    run_command(1);

    EXPECT_EQ(window_.log(), RESTARTED + UPLOADED +
                                 "Checking firmware ... up to date\r\n"
                                 "Checking bitstream ... up to date\r\n"
                                 "Checking factory firmware ... up to date\r\n"
                                 "Checking factory bitstream ... up to date\r\n"
                                 "Checking USB firmware ... up to date\r\n"
                                 "Checking power supply A ... up to date\r\n"
                                 "Checking power supply B ... needs update\r\n"
                                 "Programming power supply B ... done\r\n");
    expect_single_box(boxes(), UP_TO_DATE, MessageIcon::information);
    // Steps 1 to 6 only set the overall bar; then supply B's script and store.
    const auto overall = window_.progress_history(IDC_OVERALL_PROGRESS);
    const std::vector<std::uint32_t> skipped = {60, 66, 116, 122, 124, 126};
    const auto at = std::search(overall.begin(), overall.end(), skipped.begin(), skipped.end());
    ASSERT_NE(at, overall.end()) << ::testing::PrintToString(overall);
    EXPECT_EQ(std::vector<std::uint32_t>(at + 6, overall.end()),
              (std::vector<std::uint32_t>{126, 127, 127, 128, 0}));
    EXPECT_EQ(flash_commands(instrument, 0x20000000, before), 0);  // nothing erased
    EXPECT_EQ(flash_commands(instrument, 0x10000000, before), 0);  // nothing written
    EXPECT_TRUE(holds_current_set(instrument));
    expect_idle_window();
}

TEST_F(DeviceCommands, ProgramOnACurrentInstrumentErasesNothing) {
    sim::Instrument& instrument = listed({});
    const std::size_t before = instrument.transfers().size();

    EXPECT_EQ(run_command(1), 1);

    EXPECT_EQ(window_.log(), RESTARTED + UPLOADED + ALL_CHECKS_CURRENT);
    expect_single_box(boxes(), ALREADY_UP_TO_DATE, MessageIcon::information);
    EXPECT_EQ(flash_commands(instrument, 0x20000000, before), 0);
    EXPECT_EQ(flash_commands(instrument, 0x10000000, before), 0);
    // Nothing written to the EEPROM or the supplies either: only the restart's
    // power command and the check's RESTORE_DEFAULT_ALL, which stores nothing.
    for (const sim::TransferRecord& transfer : controls(instrument, before)) {
        if (transfer.setup.request == 176 && transfer.setup.request_type == 0x40) {
            EXPECT_TRUE(transfer.setup.index == 0xDB || transfer.setup.index == 0x12)
                << transfer.setup.index;
        }
    }
    expect_idle_window();
}

// ---- Verify contents ----

TEST_F(DeviceCommands, VerifyRestartsExactlyLikeProgram) {
    sim::Instrument& instrument = listed({});
    std::size_t before = instrument.transfers().size();
    run_command(1);
    const auto program_restart = setups(instrument, before, 6);
    before = instrument.transfers().size();

    run_command(0);

    EXPECT_EQ(setups(instrument, before, 6), program_restart);
    EXPECT_EQ(program_restart, RESTART_ON_THE_WIRE);
}

TEST_F(DeviceCommands, VerifyOfACurrentInstrumentSaysUpToDate) {
    sim::Instrument& instrument = listed({});
    const std::size_t before = instrument.transfers().size();

    EXPECT_EQ(run_command(0), 1);

    EXPECT_EQ(window_.log(), RESTARTED + UPLOADED + ALL_CHECKS_CURRENT);
    expect_single_box(boxes(), UP_TO_DATE, MessageIcon::information);
    EXPECT_EQ(flash_commands(instrument, 0x20000000, before), 0);
    expect_idle_window();
}

TEST_F(DeviceCommands, VerifyMovesTheOverallBarOverTheCheckOnlySpans) {
    listed({});

    run_command(0);

    // The upload from 0, then the comparisons from 2, 5, 64, 68 and 128.
    EXPECT_EQ(operation_starts(), (std::vector<std::uint32_t>{0, 2, 5, 64, 68, 128}));
    // Read to the end, each comparison carries the bar forward to the next one's
    // start; the configuration sequence's empty span counts as one step, to 129.
    std::vector<std::uint32_t> positions = distinct_positions(IDC_OVERALL_PROGRESS);
    ASSERT_GE(positions.size(), 3U);
    EXPECT_EQ(positions.back(), 0U);  // the end sequence
    positions.pop_back();
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(positions.back(), 129U);
    for (const std::uint32_t end : {5U, 64U, 68U, 128U}) {
        EXPECT_NE(std::find(positions.begin(), positions.end(), end), positions.end()) << end;
    }
}

TEST_F(DeviceCommands, VerifyOfAnOlderInstrumentWarnsAndWritesNothing) {
    sim::Instrument& instrument = listed(InitialState::all(Contents::older));
    const std::size_t before = instrument.transfers().size();

    run_command(0);

    EXPECT_EQ(window_.log(), RESTARTED + UPLOADED + ALL_CHECKS_OUT_OF_DATE);
    expect_single_box(boxes(), MISMATCH, MessageIcon::warning);
    EXPECT_EQ(flash_commands(instrument, 0x20000000, before), 0);
    EXPECT_EQ(flash_commands(instrument, 0x10000000, before), 0);
    EXPECT_FALSE(holds_usb_firmware(instrument));
    expect_idle_window();
}

TEST_F(DeviceCommands, VerifyWithOnlySupplyBOutOfDateWarns) {
    sim::Instrument& instrument = listed({});
    make_supply_b_older(instrument);

    run_command(0);

    EXPECT_NE(window_.log().find("Checking power supply B ... needs update\r\n"),
              std::string::npos);
    expect_single_box(boxes(), MISMATCH, MessageIcon::warning);
    EXPECT_FALSE(supply_holds_script(instrument, 1));
    expect_idle_window();
}

// ---- FPGA Halt and Power-cycle ----

TEST_F(DeviceCommands, FpgaHaltSendsTheHaltAndThePowerCommands) {
    sim::Instrument& instrument = listed({});
    run_command(0);
    ASSERT_TRUE(instrument.fpga().running());
    const std::size_t before = instrument.transfers().size();

    EXPECT_EQ(device_power_command(0, 1), 1);

    EXPECT_EQ(setups(instrument, before, 10),
              (std::vector<std::string>{"C0 194 0000 0400 16", "40 176 0134 00DB 0",
                                        "40 176 0135 00DB 0"}));
    EXPECT_EQ(window_.log(), "Device FPGA halted.");
    EXPECT_EQ(boxes().size(), 1U);  // only the verify's summary
    EXPECT_FALSE(instrument.fpga().running());
    EXPECT_EQ(remembered_device_path(), instrument.path());
    EXPECT_EQ(watched_.open_handles(), 0U);
}

TEST_F(DeviceCommands, PowerCycleSendsThePowerCycleAndThePowerCommands) {
    sim::Instrument& instrument = listed({});
    window_.log_set_text("Restarting the device ... done\r\n");
    const std::size_t before = instrument.transfers().size();

    EXPECT_EQ(device_power_command(0, 0), 1);

    EXPECT_EQ(setups(instrument, before, 10),
              (std::vector<std::string>{"C0 194 0000 0800 16", "40 176 0134 00DB 0",
                                        "40 176 0135 00DB 0"}));
    EXPECT_EQ(window_.log(), "Device power-cycled.");
    EXPECT_TRUE(boxes().empty());
    EXPECT_EQ(watched_.open_handles(), 0U);
}

TEST_F(DeviceCommands, CommandsOnAnIndexWithoutDeviceDoNothing) {
    sim::Instrument& instrument = listed({});
    const std::size_t before = instrument.transfers().size();

    EXPECT_EQ(device_power_command(1, 1), 0);
    EXPECT_EQ(program_command(-1, 1), 0);

    EXPECT_EQ(instrument.transfers().size(), before);
    EXPECT_TRUE(boxes().empty());
}

// ---- restart failures ----

TEST_F(DeviceCommands, InstrumentThatDoesNotLeaveEndsTheCommand) {
    sim::Instrument& instrument = listed({});
    with_faults(instrument, [](sim::Faults& faults) { faults.restart_does_not_leave = true; });
    const int refreshes_before = refreshes();
    const std::uint64_t start_ms = clock_.now_ms();

    EXPECT_EQ(program_command(0, 1), 0);

    EXPECT_EQ(window_.log(), "Restarting the device ... failed\r\n");
    expect_single_box(boxes(), NOT_FOUND, MessageIcon::error);
    EXPECT_EQ(refreshes() - refreshes_before, 40);
    EXPECT_GE(clock_.now_ms() - start_ms, 40U * 250U);
    EXPECT_FALSE(worker_busy());
    EXPECT_FALSE(instrument.fpga().running());  // no worker reached it
    EXPECT_EQ(watched_.open_handles(), 0U);
}

TEST_F(DeviceCommands, InstrumentThatDoesNotComeBackEndsTheCommand) {
    sim::Instrument& instrument = listed({});
    with_faults(instrument, [](sim::Faults& faults) { faults.restart_does_not_come_back = true; });
    const int refreshes_before = refreshes();
    const std::uint64_t start_ms = clock_.now_ms();

    EXPECT_EQ(program_command(0, 0), 0);

    EXPECT_EQ(window_.log(), "Restarting the device ... failed\r\n");
    expect_single_box(boxes(), NOT_FOUND, MessageIcon::error);
    EXPECT_EQ(refreshes() - refreshes_before, 1 + 40);  // it left at once, then 40 looks
    EXPECT_GE(clock_.now_ms() - start_ms, 40U * 250U);
    EXPECT_TRUE(window_.combo_items().empty());
    EXPECT_FALSE(window_.enabled(IDC_PROGRAM));
    EXPECT_EQ(watched_.open_handles(), 0U);
}

TEST_F(DeviceCommands, DeviceThatCannotBeOpenedIsNotRestarted) {
    sim::Instrument& instrument = listed({});
    bus_.set_held_open(instrument, true);  // another program took it after the refresh
    window_.log_set_text("earlier text");
    const std::size_t before = instrument.transfers().size();

    EXPECT_EQ(program_command(0, 1), 1);

    expect_single_box(boxes(), CANNOT_ACCESS, MessageIcon::warning);
    EXPECT_EQ(window_.log(), "earlier text");
    EXPECT_EQ(instrument.transfers().size(), before);
    EXPECT_FALSE(worker_busy());
    EXPECT_TRUE(window_.combo_items().empty());  // the refresh no longer lists it
}

// Two programs on one machine, each for its own instrument: the other one's
// listing holds this instrument for a moment just as it came back from its
// restart. The open waits for it, and the run goes on.
TEST_F(DeviceCommands, InstrumentHeldForAMomentAfterItsRestartIsWaitedFor) {
    sim::Instrument& instrument = listed(InitialState::all(Contents::older));
    bool restarted = false;
    bool held = false;
    watched_.before_control = [&](const UsbSetupPacket& setup) {
        restarted = restarted || setup.request == 197;
        if (restarted && !held && setup.request == 176 && setup.index == 0x3000) {
            held = true;  // from the identification read of the refresh that sees it back
            bus_.hold_open_until(instrument, clock_.now_us() + 100'000);
        }
    };

    EXPECT_EQ(run_command(1), 1);

    ASSERT_TRUE(held);
    EXPECT_EQ(window_.log(), RESTARTED + UPLOADED + ALL_CHECKS_OUT_OF_DATE + PROGRAMMED_EVERYTHING);
    expect_single_box(boxes(), UP_TO_DATE, MessageIcon::information);
    EXPECT_TRUE(holds_current_set(instrument));
    expect_idle_window();
}

TEST_F(DeviceCommands, PowerCommandOnADeviceThatCannotBeOpened) {
    sim::Instrument& instrument = listed({});
    bus_.set_held_open(instrument, true);

    EXPECT_EQ(device_power_command(0, 1), 1);

    expect_single_box(boxes(), CANNOT_ACCESS, MessageIcon::warning);
    EXPECT_EQ(window_.log(), "");
}

TEST_F(DeviceCommands, WorkerThatEndsAtOnceIsNotReportedAsNotStarted) {
    sim::Instrument& instrument = listed({});
    // The FPGA refuses the upload: the worker ends right after it started.
    watched_.before_control = [&](const UsbSetupPacket& setup) {
        if (setup.request == 194 && setup.index != 0x0400) {
            with_faults(instrument, [](sim::Faults& faults) {
                faults.control_fail[194] = sim::Trigger::always();
            });
        }
    };

    EXPECT_EQ(run_command(1), 1);

    EXPECT_EQ(window_.log(), RESTARTED + "Uploading the flash core ... failed\r\n");
    EXPECT_TRUE(boxes().empty());
    expect_idle_window();
}

// A worker whose thread cannot be created: the command says so, closes the
// device it opened, and leaves the window usable with the instrument listed.
TEST_F(DeviceCommands, WorkerThreadThatCannotBeCreatedIsReportedAndReleasesTheDevice) {
    listed({});
    worker_thread_starter_install([](std::thread&, std::function<void()>) { return false; });

    EXPECT_EQ(program_command(0, 1), 0);
    worker_thread_starter_install(nullptr);

    EXPECT_EQ(window_.log(), RESTARTED);
    expect_single_box(
        boxes(),
        "Internal error - the programming process could not be started. Please restart the "
        "utility and, if the problem persists, contact Talvenor AG for further assistance.",
        MessageIcon::error);
    EXPECT_FALSE(worker_busy());
    EXPECT_EQ(watched_.open_handles(), 0U);
    EXPECT_TRUE(window_.enabled(IDC_REFRESH));
    EXPECT_EQ(window_.combo_items(), std::vector<std::string>{"DEV11"});
    EXPECT_EQ(run_command(0), 1);  // and the next command runs as usual
}

// ---- busy ----

TEST_F(DeviceCommands, SecondCommandWhileTheWorkerRunsIsRefused) {
    sim::Instrument& instrument = listed({});
    window_.hold_boxes();  // the user has not closed the summary yet

    ASSERT_EQ(program_command(0, 0), 1);
    window_.await_held_box();
    ASSERT_TRUE(worker_busy());
    const std::size_t transfers = instrument.transfers().size();
    const std::string log = window_.log();

    UsbDevice* const worker_record = listed_device(0);
    const int combo_calls = static_cast<int>(window_.calls.size());

    EXPECT_EQ(program_command(0, 1), 0);
    EXPECT_EQ(program_command(0, 0), 0);
    EXPECT_EQ(device_power_command(0, 1), 0);
    EXPECT_EQ(device_power_command(0, 0), 0);
    // Refused before the list is read, which the worker's end rewrites: an
    // index it does not hold gets the same refusal.
    EXPECT_EQ(program_command(7, 1), 0);
    // "Refresh" too: the list holds the record the worker uses.
    EXPECT_EQ(refresh_command(), 0);
    EXPECT_EQ(listed_device(0), worker_record);
    EXPECT_EQ(std::count(window_.calls.begin() + combo_calls, window_.calls.end(),
                         std::string("device_combo_reset")),
              0);

    const auto shown = boxes();
    ASSERT_EQ(shown.size(), 7U);
    for (std::size_t i = 1; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i].text, BUSY);
        EXPECT_EQ(shown[i].icon, MessageIcon::warning);
    }
    EXPECT_EQ(instrument.transfers().size(), transfers);
    EXPECT_EQ(window_.log(), log);
    EXPECT_FALSE(window_.enabled(IDC_PROGRAM));
    EXPECT_FALSE(window_.enabled(IDC_REFRESH));

    window_.release_boxes();
    worker_wait();
    expect_idle_window();
    EXPECT_EQ(device_power_command(0, 1), 1);  // idle again
    EXPECT_EQ(refresh_command(), 1);
    EXPECT_EQ(window_.combo_items(), std::vector<std::string>{"DEV11"});
}

}  // namespace
