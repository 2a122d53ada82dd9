// The device list against simulated instruments: what the combo box shows,
// which instrument is selected, when the commands are usable, and that every
// instrument opened for its identification is closed again.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "instruments/device_list.h"
#include "scenario/command_fixture.h"

namespace {

using command_test::CommandTest;

class DeviceList : public CommandTest {
  protected:
    // The calls that change the combo box and the commands' availability.
    std::vector<std::string> list_calls() const {
        std::vector<std::string> found;
        for (const std::string& call : window_.calls) {
            if (call.rfind("device_combo_", 0) == 0 || call.rfind("control_enable", 0) == 0 ||
                call.rfind("menu_item_enable", 0) == 0) {
                found.push_back(call);
            }
        }
        return found;
    }

    void expect_commands_enabled(bool enabled) const {
        EXPECT_EQ(window_.enabled(IDC_PROGRAM), enabled);
        EXPECT_EQ(window_.enabled(IDM_POWER_CYCLE), enabled);
        EXPECT_EQ(window_.enabled(IDM_FPGA_HALT), enabled);
        EXPECT_EQ(window_.enabled(IDM_VERIFY_CONTENTS), enabled);
    }
};

TEST_F(DeviceList, ListsInstrumentsInEnumerationOrderAndSelectsTheFirst) {
    const sim::Instrument& first = attach(7);
    const sim::Instrument& second = attach(3);

    EXPECT_EQ(device_list_refresh(nullptr), 0);

    EXPECT_EQ(window_.combo_items(), (std::vector<std::string>{"DEV7", "DEV3"}));
    EXPECT_EQ(window_.combo_selection(), 0);
    ASSERT_EQ(listed_device_count(), 2);
    EXPECT_EQ(listed_device(0)->path, first.path());
    EXPECT_EQ(listed_device(1)->path, second.path());
    EXPECT_EQ(listed_device(2), nullptr);
    EXPECT_EQ(listed_device(-1), nullptr);
    expect_commands_enabled(true);
    EXPECT_EQ(watched_.open_handles(), 0U);
}

TEST_F(DeviceList, DeviceNumberIsTheIdentificationBlocksBytes4To7) {
    attach(305419896);  // 0x12345678
    attach(-2);

    device_list_refresh(nullptr);

    EXPECT_EQ(window_.combo_items(), (std::vector<std::string>{"DEV305419896", "DEV-2"}));
}

TEST_F(DeviceList, IdentificationIsOneEepromReadOf22BytesAt0x3000) {
    const sim::Instrument& instrument = attach(1);

    device_list_refresh(nullptr);

    const auto requests = controls(instrument);
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].setup.request_type, 0xC0);
    EXPECT_EQ(requests[0].setup.request, 176);
    EXPECT_EQ(requests[0].setup.value, 0x0251);
    EXPECT_EQ(requests[0].setup.index, 0x3000);
    EXPECT_EQ(requests[0].setup.length, 22);
}

TEST_F(DeviceList, RememberedPathSelectsItsInstrumentAndCountsIt) {
    attach(7);
    const sim::Instrument& second = attach(3);
    attach(5);

    EXPECT_EQ(device_list_refresh(second.path().c_str()), 1);

    EXPECT_EQ(window_.combo_items().size(), 3U);
    EXPECT_EQ(window_.combo_selection(), 1);
    expect_commands_enabled(true);
}

TEST_F(DeviceList, RememberedPathNobodyCarriesSelectsTheFirst) {
    attach(7);
    attach(3);

    EXPECT_EQ(device_list_refresh("\\\\?\\usb#vid_1c0f&pid_0c02#nobody"), 0);

    EXPECT_EQ(window_.combo_selection(), 0);
    expect_commands_enabled(true);
}

TEST_F(DeviceList, PathComparisonIsExactAndCaseSensitive) {
    const sim::Instrument& instrument = attach(7);
    std::string upper = instrument.path();
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    ASSERT_NE(upper, instrument.path());

    EXPECT_EQ(device_list_refresh(upper.c_str()), 0);
    EXPECT_EQ(device_list_refresh(instrument.path().substr(1).c_str()), 0);
    EXPECT_EQ(device_list_refresh(instrument.path().c_str()), 1);
}

TEST_F(DeviceList, InstrumentHeldOpenElsewhereIsNotListedAfterAShortWait) {
    attach(7);
    const sim::Instrument& held = attach(3);
    bus_.set_held_open(held, true);
    const std::uint64_t start_ms = clock_.now_ms();

    EXPECT_EQ(device_list_refresh(held.path().c_str()), 0);

    EXPECT_EQ(window_.combo_items(), (std::vector<std::string>{"DEV7"}));
    EXPECT_EQ(window_.combo_selection(), 0);
    EXPECT_LT(clock_.now_ms() - start_ms, 1000U) << "the wait for the holder has no end";
}

// Another process that lists the instruments holds each one for a moment; a
// refresh at that moment waits for it instead of leaving the instrument out.
TEST_F(DeviceList, InstrumentHeldForAMomentIsWaitedForAndListed) {
    attach(7);
    const sim::Instrument& busy = attach(3);
    bus_.hold_open_until(busy, clock_.now_us() + 200'000);

    EXPECT_EQ(device_list_refresh(busy.path().c_str()), 1);

    EXPECT_EQ(window_.combo_items(), (std::vector<std::string>{"DEV7", "DEV3"}));
    EXPECT_EQ(window_.combo_selection(), 1);
    EXPECT_EQ(watched_.open_handles(), 0U);
}

TEST_F(DeviceList, OnlyInstrumentHeldOpenLeavesTheCommandsDisabled) {
    const sim::Instrument& held = attach(3);
    bus_.set_held_open(held, true);

    EXPECT_EQ(device_list_refresh(nullptr), 0);

    EXPECT_TRUE(window_.combo_items().empty());
    EXPECT_EQ(listed_device_count(), 0);
    expect_commands_enabled(false);
}

TEST_F(DeviceList, ShortIdentificationReadLeavesTheInstrumentOut) {
    attach(7);
    sim::Instrument& shy = attach(3);
    with_faults(shy, [](sim::Faults& faults) {
        faults.control_short[176] = sim::Trigger::always();  // 21 bytes arrive
    });

    device_list_refresh(shy.path().c_str());

    EXPECT_EQ(window_.combo_items(), (std::vector<std::string>{"DEV7"}));
    ASSERT_EQ(controls(shy).size(), 1U);
    EXPECT_EQ(controls(shy)[0].transferred, 21U);
    EXPECT_EQ(watched_.open_handles(), 0U);  // opened for the read, closed again
}

TEST_F(DeviceList, FailedIdentificationReadLeavesTheOnlyInstrumentOut) {
    sim::Instrument& silent = attach(3);
    with_faults(silent,
                [](sim::Faults& faults) { faults.control_fail[176] = sim::Trigger::always(); });

    EXPECT_EQ(device_list_refresh(nullptr), 0);

    EXPECT_TRUE(window_.combo_items().empty());
    expect_commands_enabled(false);
    EXPECT_EQ(watched_.open_handles(), 0U);
}

TEST_F(DeviceList, ThirtyThreeInstrumentsListTheFirst32Only) {
    std::vector<const sim::Instrument*> instruments;
    for (int number = 1; number <= 33; ++number) {
        instruments.push_back(&attach(number));
    }

    EXPECT_EQ(device_list_refresh(instruments.back()->path().c_str()), 0);

    const auto items = window_.combo_items();
    ASSERT_EQ(items.size(), 32U);
    EXPECT_EQ(items.front(), "DEV1");
    EXPECT_EQ(items.back(), "DEV32");
    EXPECT_EQ(listed_device_count(), 32);
    EXPECT_EQ(window_.combo_selection(), 0);
    // The one beyond the table is not even asked for its identification.
    EXPECT_TRUE(controls(*instruments.back()).empty());
    EXPECT_EQ(watched_.open_handles(), 0U);
}

TEST_F(DeviceList, PathsLongerThan255CharactersAreComparedInFull) {
    const std::string shared = "\\\\?\\usb#vid_1c0f&pid_0c02#" + std::string(280, 'h');
    sim::InstrumentConfig first = config(7);
    first.path = shared + "#first";
    sim::InstrumentConfig second = config(3);
    second.path = shared + "#second";
    attach(first);
    attach(second);

    EXPECT_EQ(device_list_refresh(second.path.c_str()), 1);

    EXPECT_EQ(window_.combo_selection(), 1);
    EXPECT_EQ(listed_device(1)->path, second.path);
}

TEST_F(DeviceList, InstrumentWithALongPathIsFoundAgainAfterItsRestart) {
    sim::InstrumentConfig long_path = config(3);
    long_path.path = "\\\\?\\usb#vid_1c0f&pid_0c02#" + std::string(300, 'p');
    attach(7);
    sim::Instrument& instrument = attach(long_path);
    device_list_refresh(instrument.path().c_str());
    ASSERT_EQ(window_.combo_selection(), 1);

    run_command(0);

    EXPECT_EQ(remembered_device_path(), long_path.path);
    EXPECT_EQ(window_.log().rfind("Restarting the device ... done\r\n", 0), 0U) << window_.log();
    EXPECT_EQ(window_.combo_selection(), 1);
    EXPECT_TRUE(instrument.fpga().running());  // the worker reached it
    expect_idle_window();
}

TEST_F(DeviceList, CommandsAreDisabledFirstAndEnabledAfterTheSelection) {
    attach(7);

    device_list_refresh(nullptr);

    EXPECT_EQ(list_calls(), (std::vector<std::string>{
                                "device_combo_reset",
                                "control_enable 110 off",
                                "menu_item_enable 108 off",
                                "menu_item_enable 107 off",
                                "menu_item_enable 109 off",
                                "device_combo_append DEV7",
                                "device_combo_select 0",
                                "control_enable 110 on",
                                "menu_item_enable 108 on",
                                "menu_item_enable 107 on",
                                "menu_item_enable 109 on",
                            }));
}

TEST_F(DeviceList, EmptyBusLeavesTheBoxEmptyAndTheCommandsDisabled) {
    EXPECT_EQ(device_list_refresh("\\\\?\\anything"), 0);

    EXPECT_EQ(list_calls(), (std::vector<std::string>{
                                "device_combo_reset",
                                "control_enable 110 off",
                                "menu_item_enable 108 off",
                                "menu_item_enable 107 off",
                                "menu_item_enable 109 off",
                            }));
    EXPECT_EQ(listed_device_count(), 0);
}

TEST_F(DeviceList, RefreshReplacesTheListOfTheRefreshBefore) {
    attach(7);
    sim::Instrument& leaving = attach(3);
    device_list_refresh(nullptr);
    ASSERT_EQ(listed_device_count(), 2);

    bus_.detach(leaving);
    device_list_refresh(nullptr);

    EXPECT_EQ(window_.combo_items(), (std::vector<std::string>{"DEV7"}));
    EXPECT_EQ(listed_device_count(), 1);
    EXPECT_EQ(listed_device(1), nullptr);
}

}  // namespace
