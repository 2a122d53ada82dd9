// The demo's window end to end: the real dialog driven by its own commands
// against a simulated instrument, message boxes read and closed as a user
// would, and the instrument's final state read back.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "window/window_port.h"
#include "commands/device_commands.h"
#include "images/images.h"
#include "sequence/programming_worker.h"
#include "sim/loaded_images.h"
#include "sim/sim.h"
#include "win32/window_harness.h"

namespace {

using win32_test::MainWindowHarness;
using win32_test::MessageBoxWatcher;
using win32_test::pump_pending;
using win32_test::pump_until;

constexpr const char* CHECK_MISMATCH =
    "Some of the internal firmwares do not match the available version.\r\n"
    "Please program the device in order to enable all the new features or power-cycle the "
    "device to resume normal operation with the existing versions.";
constexpr const char* ALREADY_UP_TO_DATE =
    "All the internal firmwares are already up to date, no re-programming is needed.\r\n"
    "Please power-cycle the device to resume normal operation.";
constexpr const char* BUSY = "Another process is already active, please wait until it finishes.";

constexpr std::uint8_t MFR_DATE = 0x9D;

class DemoWindow : public testing::Test {
  protected:
    void SetUp() override {
        instrument = &harness.attach_instrument(sim::Contents::older);
        pump_pending();
        ASSERT_EQ(harness.combo_items(), std::vector<std::string>{"DEV1"});
    }

    // Sends a command as the window's own button or menu would, then answers
    // the window until the run has ended and the given boxes were shown.
    void run(UINT message, WPARAM command, MessageBoxWatcher& boxes, std::size_t box_count) {
        PostMessageA(harness.window(), message, command, 0);
        ASSERT_TRUE(pump_until([&] { return boxes.count() >= box_count && !worker_busy(); }));
        pump_pending();
    }

    bool flash_holds(int selector) {
        const sim::ImageSet images = sim::loaded_image_set();
        const std::span<const std::uint8_t> image = images.flash_image(selector);
        const sim::FlashPlacement place = sim::flash_placement(selector);
        auto lock = harness.bus().lock();
        const auto stored = instrument->flash(place.device)
                                .read(place.start, static_cast<std::uint32_t>(image.size()));
        return std::equal(image.begin(), image.end(), stored.begin(), stored.end());
    }

    bool eeprom_holds_usb_firmware() {
        const std::span<const std::uint8_t> image = firmware_image(IMAGE_USB_FIRMWARE).bytes();
        auto lock = harness.bus().lock();
        const auto eeprom = instrument->eeprom().bytes().first(image.size());
        return std::equal(image.begin(), image.end(), eeprom.begin(), eeprom.end());
    }

    std::vector<std::uint8_t> stored_date(int supply) {
        auto lock = harness.bus().lock();
        return instrument->supply(supply).stored(MFR_DATE).value_or(std::vector<std::uint8_t>{});
    }

    std::vector<std::uint8_t> script_date(int image_id) {
        const std::span<const std::uint8_t> script = firmware_image(image_id).bytes();
        return {script.begin() + 3, script.begin() + 9};
    }

    bool commands_enabled() {
        return IsWindowEnabled(harness.item(IDC_PROGRAM)) &&
               IsWindowEnabled(harness.item(IDC_REFRESH)) &&
               !harness.menu_item_grayed(IDM_VERIFY_CONTENTS) &&
               !harness.menu_item_grayed(IDM_FPGA_HALT) &&
               !harness.menu_item_grayed(IDM_POWER_CYCLE);
    }

    std::vector<sim::TransferRecord> control_requests_since(std::size_t mark) {
        auto lock = harness.bus().lock();
        std::vector<sim::TransferRecord> requests;
        const auto& transfers = instrument->transfers();
        for (std::size_t i = mark; i < transfers.size(); ++i) {
            if (transfers[i].kind == sim::TransferKind::control) {
                requests.push_back(transfers[i]);
            }
        }
        return requests;
    }

    std::size_t transfer_count() {
        auto lock = harness.bus().lock();
        return instrument->transfers().size();
    }

    MainWindowHarness harness;
    sim::Instrument* instrument = nullptr;
};

TEST_F(DemoWindow, VerifyContentsReportsTheOutdatedItemsAndChangesNothing) {
    MessageBoxWatcher boxes(harness.window());
    run(WM_SYSCOMMAND, IDM_VERIFY_CONTENTS, boxes, 1);

    EXPECT_EQ(boxes.texts(), std::vector<std::string>{CHECK_MISMATCH});
    const std::string log = harness.log();
    EXPECT_EQ(log.rfind("Restarting the device ... done\r\n", 0), 0U) << log;
    EXPECT_NE(log.find("Checking firmware ... needs update\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Checking power supply B ... needs update\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Erasing"), std::string::npos) << log;
    EXPECT_FALSE(flash_holds(0));
    EXPECT_FALSE(eeprom_holds_usb_firmware());
    // The end sequence: bars back at 0, commands on, the instrument selected again.
    EXPECT_EQ(SendMessageA(harness.item(IDC_OVERALL_PROGRESS), PBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(harness.combo_selection(), 0);
    EXPECT_TRUE(commands_enabled());
}

TEST_F(DemoWindow, ProgramBringsEveryItemUpToDateAndASecondClickIsRefused) {
    {
        MessageBoxWatcher boxes(harness.window());
        run(WM_COMMAND, IDC_PROGRAM, boxes, 1);
        EXPECT_EQ(boxes.texts(), std::vector<std::string>{SUMMARY_UP_TO_DATE});
    }
    const std::string log = harness.log();
    EXPECT_NE(log.find("Checking bitstream ... needs update\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Programming power supply B ... done\r\n"), std::string::npos) << log;
    for (int selector = 0; selector < sim::FLASH_IMAGE_COUNT; ++selector) {
        EXPECT_TRUE(flash_holds(selector)) << "selector " << selector;
    }
    EXPECT_TRUE(eeprom_holds_usb_firmware());
    EXPECT_EQ(stored_date(0), script_date(IMAGE_POWER_SUPPLY_A));
    EXPECT_EQ(stored_date(1), script_date(IMAGE_POWER_SUPPLY_B));
    EXPECT_TRUE(commands_enabled());

    // Two clicks in a row: the second arrives while the first run's worker is
    // busy. The run's own summary stays open until the refusal has been seen.
    MessageBoxWatcher boxes(
        harness.window(), [](const std::string& text, const std::vector<std::string>& shown) {
            return text == BUSY || std::find(shown.begin(), shown.end(), BUSY) != shown.end();
        });
    const std::size_t mark = transfer_count();
    PostMessageA(harness.window(), WM_COMMAND, IDC_PROGRAM, 0);
    run(WM_COMMAND, IDC_PROGRAM, boxes, 2);
    EXPECT_EQ(boxes.texts(), (std::vector<std::string>{BUSY, ALREADY_UP_TO_DATE}));
    // One restart only: the refused click sent nothing.
    std::size_t restarts = 0;
    for (const sim::TransferRecord& request : control_requests_since(mark)) {
        restarts += request.setup.request == VREQ_RESTART_2 ? 1 : 0;
    }
    EXPECT_EQ(restarts, 1U);
    EXPECT_EQ(harness.log().find("Erasing"), std::string::npos);
}

// "Refresh" rebuilds the list that holds the worker's record. A click queued
// behind "Program" (it is handled once the restart wait is over and the worker
// runs) and a click at the moment the end sequence enables the button must not
// rebuild it under the worker: the first is refused, the second comes after
// the worker's own refresh.
WNDPROC refresh_button_procedure = nullptr;

LRESULT CALLBACK click_refresh_when_enabled(HWND button, UINT message, WPARAM wparam,
                                            LPARAM lparam) {
    if (message == WM_ENABLE && wparam != FALSE && worker_busy()) {
        PostMessageA(GetParent(button), WM_COMMAND, IDC_REFRESH, 0);
    }
    return CallWindowProcA(refresh_button_procedure, button, message, wparam, lparam);
}

TEST_F(DemoWindow, RefreshClicksDuringAProgramRunNeverRebuildTheListUnderTheWorker) {
    const HWND refresh = harness.item(IDC_REFRESH);
    refresh_button_procedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        refresh, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&click_refresh_when_enabled)));
    {
        MessageBoxWatcher boxes(harness.window());
        PostMessageA(harness.window(), WM_COMMAND, IDC_PROGRAM, 0);
        PostMessageA(harness.window(), WM_COMMAND, IDC_REFRESH, 0);
        ASSERT_TRUE(pump_until([&] { return boxes.seen(SUMMARY_UP_TO_DATE) && !worker_busy(); }));
        pump_pending();
        const std::vector<std::string> shown = boxes.texts();
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.front(), BUSY) << "the queued click is refused";
        for (const std::string& text : shown) {
            EXPECT_TRUE(text == BUSY || text == SUMMARY_UP_TO_DATE) << text;
        }
    }
    SetWindowLongPtrA(refresh, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(refresh_button_procedure));

    const std::string log = harness.log();
    EXPECT_NE(log.find("Programming power supply B ... done\r\n"), std::string::npos) << log;
    for (int selector = 0; selector < sim::FLASH_IMAGE_COUNT; ++selector) {
        EXPECT_TRUE(flash_holds(selector)) << "selector " << selector;
    }
    EXPECT_TRUE(eeprom_holds_usb_firmware());
    EXPECT_EQ(harness.combo_items(), std::vector<std::string>{"DEV1"});
    EXPECT_EQ(harness.combo_selection(), 0);
    EXPECT_TRUE(commands_enabled());
}

TEST_F(DemoWindow, FpgaHaltAndPowerCycleSendTheirRequestsAndSaySo) {
    MessageBoxWatcher boxes(harness.window());
    struct Case {
        WPARAM command;
        std::uint16_t fpga_index;
        const char* log;
    };
    for (const Case& item :
         {Case{IDM_FPGA_HALT, FPGA_CONFIG_HALT, "Device FPGA halted."},
          Case{IDM_POWER_CYCLE, FPGA_CONFIG_POWER_CYCLE, "Device power-cycled."}}) {
        const std::size_t mark = transfer_count();
        SendMessageA(harness.window(), WM_SYSCOMMAND, item.command, 0);
        EXPECT_EQ(harness.log(), item.log);
        const std::vector<sim::TransferRecord> requests = control_requests_since(mark);
        ASSERT_GE(requests.size(), 3U);
        const auto fpga = std::find_if(requests.begin(), requests.end(), [](const auto& request) {
            return request.setup.request == VREQ_FPGA_CONFIG;
        });
        ASSERT_NE(fpga, requests.end());
        EXPECT_EQ(fpga->setup.index, item.fpga_index);
        ASSERT_GE(requests.end() - fpga, 3);
        EXPECT_EQ(fpga[1].setup.request, VREQ_BUS_TRANSFER);
        EXPECT_EQ(fpga[1].setup.value, BUS_PMBUS_WRITE | BUS_ADDRESS_SUPPLY_A);
        EXPECT_EQ(fpga[1].setup.index, 0xDB);
        EXPECT_EQ(fpga[2].setup.value, BUS_PMBUS_WRITE | BUS_ADDRESS_SUPPLY_B);
        EXPECT_EQ(fpga[2].setup.index, 0xDB);
        auto lock = harness.bus().lock();
        EXPECT_EQ(instrument->fpga().state(), sim::Fpga::State::halted);
    }
    EXPECT_EQ(boxes.count(), 0U);
}

TEST_F(DemoWindow, RefreshFollowsTheInstrumentLeavingAndComingBack) {
    std::unique_ptr<sim::Instrument> unplugged = harness.bus().detach(*instrument);
    SendMessageA(harness.window(), WM_COMMAND, IDC_REFRESH, 0);
    EXPECT_TRUE(harness.combo_items().empty());
    EXPECT_FALSE(IsWindowEnabled(harness.item(IDC_PROGRAM)));
    EXPECT_TRUE(harness.menu_item_grayed(IDM_VERIFY_CONTENTS));

    harness.bus().attach(std::move(unplugged));
    SendMessageA(harness.window(), WM_COMMAND, IDC_REFRESH, 0);
    EXPECT_EQ(harness.combo_items(), std::vector<std::string>{"DEV1"});
    EXPECT_EQ(harness.combo_selection(), 0);
    EXPECT_TRUE(IsWindowEnabled(harness.item(IDC_PROGRAM)));
    EXPECT_FALSE(harness.menu_item_grayed(IDM_VERIFY_CONTENTS));
}

}  // namespace
