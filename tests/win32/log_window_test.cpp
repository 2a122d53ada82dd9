// The action log and the other window calls of the core, carried out on the
// real controls through the Win32 WindowPort; and printed text reaching the
// log through the console capture.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "window/window_port.h"
#include "window/log.h"
#include "win32/console_capture.h"
#include "win32/window_harness.h"

namespace {

using win32_test::MainWindowHarness;
using win32_test::pump_pending;
using win32_test::pump_until;

class ActionLogWindow : public testing::Test {
  protected:
    void SetUp() override { pump_pending(); }

    void fill(const std::string& text) { window_port().log_set_text(text.c_str()); }

    DWORD selection_start() {
        DWORD start = 0;
        SendMessageA(harness.item(IDC_ACTION_LOG), EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
        return start;
    }

    MainWindowHarness harness;
};

TEST_F(ActionLogWindow, FragmentsMakeALineEndedAtTheEnd) {
    log_append("Checking firmware ... ");
    log_append("up to date");
    log_end_line();
    log_append("Checking bitstream ... ");
    EXPECT_EQ(harness.log(), "Checking firmware ... up to date\r\nChecking bitstream ... ");
}

TEST_F(ActionLogWindow, ExactlyTheLimitIsNotTrimmed) {
    fill(std::string(3000, 'a'));
    log_append(std::string(1096, 'b').c_str());
    const std::string text = harness.log();
    EXPECT_EQ(text.size(), 4096U);
    EXPECT_EQ(text, std::string(3000, 'a') + std::string(1096, 'b'));
}

TEST_F(ActionLogWindow, OneCharacterOverTrimsTheFirstBlockOnce) {
    fill(std::string(1024, 'x') + std::string(1976, 'a'));
    log_append(std::string(1097, 'b').c_str());
    EXPECT_EQ(harness.log(), std::string(1976, 'a') + std::string(1097, 'b'));
}

TEST_F(ActionLogWindow, ALongTextTrimsOnceAndIsAppendedWhole) {
    fill(std::string(1024, 'x') + std::string(976, 'a'));
    log_append(std::string(5000, 'c').c_str());
    EXPECT_EQ(harness.log(), std::string(976, 'a') + std::string(5000, 'c'));
}

TEST_F(ActionLogWindow, AnEmptyAppendLeavesTheCaretWhereItIs) {
    fill("Checking firmware ... ");
    SendMessageA(harness.item(IDC_ACTION_LOG), EM_SETSEL, 3, 3);
    log_append("");
    EXPECT_EQ(selection_start(), 3U);
    EXPECT_EQ(harness.log(), "Checking firmware ... ");
}

TEST_F(ActionLogWindow, TheLineBreakGoesWhereTheUserLeftTheCaret) {
    log_append("Checking firmware ... ");
    log_append("done");
    // The user selects "Checking" between the outcome and the line's end.
    SendMessageA(harness.item(IDC_ACTION_LOG), EM_SETSEL, 0, 8);
    log_end_line();
    EXPECT_EQ(harness.log(), "\r\n firmware ... done");
}

TEST(Win32WindowPort, CarriesTheCoreCallsToTheControls) {
    MainWindowHarness harness;
    pump_pending();
    WindowPort& port = window_port();

    progress_overall(64);
    progress_task(128);
    EXPECT_EQ(SendMessageA(harness.item(IDC_OVERALL_PROGRESS), PBM_GETPOS, 0, 0), 64);
    EXPECT_EQ(SendMessageA(harness.item(IDC_TASK_PROGRESS), PBM_GETPOS, 0, 0), 128);

    port.device_combo_append("DEV7");
    port.device_combo_append("DEV3");
    port.device_combo_select(1);
    EXPECT_EQ(harness.combo_items(), (std::vector<std::string>{"DEV7", "DEV3"}));
    EXPECT_EQ(port.device_combo_selection(), 1);
    port.device_combo_reset();
    EXPECT_TRUE(harness.combo_items().empty());
    EXPECT_EQ(port.device_combo_selection(), -1);

    port.control_enable(IDC_PROGRAM, true);
    port.control_enable(IDC_REFRESH, false);
    EXPECT_TRUE(IsWindowEnabled(harness.item(IDC_PROGRAM)));
    EXPECT_FALSE(IsWindowEnabled(harness.item(IDC_REFRESH)));

    port.menu_item_enable(IDM_POWER_CYCLE, true);
    port.menu_item_enable(IDM_FPGA_HALT, false);
    EXPECT_FALSE(harness.menu_item_grayed(IDM_POWER_CYCLE));
    EXPECT_TRUE(harness.menu_item_grayed(IDM_FPGA_HALT));

    port.log_set_text("Device FPGA halted.");
    EXPECT_EQ(harness.log(), "Device FPGA halted.");
    EXPECT_EQ(port.log_text_length(), 19U);
}

TEST(Win32WindowPort, CallsFromAnotherThreadAreCarriedOutByTheWindowsThread) {
    MainWindowHarness harness;
    pump_pending();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        log_append("Erasing bitstream ... ");
        progress_task(32);
        log_append("done");
        log_end_line();
        done = true;
    });
    EXPECT_TRUE(pump_until([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(harness.log(), "Erasing bitstream ... done\r\n");
    EXPECT_EQ(SendMessageA(harness.item(IDC_TASK_PROGRESS), PBM_GETPOS, 0, 0), 32);
}

// Points the standard streams back at the test's output when it goes.
class SavedStandardStreams {
  public:
    SavedStandardStreams() : out_(_dup(1)), err_(_dup(2)) {}
    ~SavedStandardStreams() {
        std::fflush(stdout);
        std::fflush(stderr);
        _dup2(out_, 1);
        _dup2(err_, 2);
        _close(out_);
        _close(err_);
    }
    SavedStandardStreams(const SavedStandardStreams&) = delete;
    SavedStandardStreams& operator=(const SavedStandardStreams&) = delete;

  private:
    int out_;
    int err_;
};

// A safety net for a capture that does not work; it takes milliseconds.
constexpr auto CAPTURE_LIMIT = std::chrono::seconds(20);

TEST(ConsoleCapture, PrintedLinesArriveInTheLogWithCarriageReturns) {
    MainWindowHarness harness;
    pump_pending();
    bool captured = false;
    std::string log;
    {
        SavedStandardStreams saved;
        HANDLE thread = CreateThread(nullptr, 0, console_capture_thread, nullptr, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        CloseHandle(thread);
        // Until the thread has rebound the streams, probes go to the test's output.
        captured = pump_until(
            [&] {
                std::printf("probe\n");
                return harness.log().find("probe") != std::string::npos;
            },
            CAPTURE_LIMIT);
        if (captured) {
            // The pipe keeps order: once this is in, every probe is.
            std::printf("sync\n");
            pump_until(
                [&] {
                    const std::string text = harness.log();
                    return text.find("sync") != std::string::npos && text.back() == '\n';
                },
                CAPTURE_LIMIT);
            window_port().log_set_text("");
            std::printf("_parse_guid returned %d on GUID %s\n", -1, "{bad}");
            std::fprintf(stderr, "SetupDiGetClassDevs error\n");
            pump_until([&] { return harness.log().find("error") != std::string::npos; },
                       CAPTURE_LIMIT);
        }
        log = harness.log();
    }
    ASSERT_TRUE(captured);
    EXPECT_EQ(log, "_parse_guid returned -1 on GUID {bad}\r\nSetupDiGetClassDevs error\r\n");
}

}  // namespace
