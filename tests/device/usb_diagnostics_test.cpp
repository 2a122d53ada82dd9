// Diagnostics of the USB layer go to the installed sink, and only there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/clock.h"
#include "device/diagnostics.h"
#include "device/usb.h"
#include "sim/sim.h"

namespace {

std::vector<std::string> received_lines;

void capture_line(const char* line) { received_lines.emplace_back(line); }

class UsbDiagnostics : public testing::Test {
  protected:
    void SetUp() override {
        received_lines.clear();
        clock_install(&clock_);
        usb_install_backend(&bus_);
        sim::InstrumentConfig config;
        config.timing = sim::Timing::instant();
        bus_.attach(std::move(config), images_.set());
    }

    void TearDown() override {
        usb_diagnostic_sink_install(nullptr);
        usb_free_device_list(list_);
        usb_install_backend(nullptr);
        clock_install(nullptr);
    }

    // Lists a class text that does not parse, then the instrument's class.
    std::string list_with_bad_class_text() {
        testing::internal::CaptureStdout();
        const char* guids[] = {"{bad}", INSTRUMENT_INTERFACE_GUID};
        usb_find_devices(guids, 2, &list_);
        return testing::internal::GetCapturedStdout();
    }

    sim::VirtualClock clock_;
    sim::SimBackend bus_{clock_};
    sim::SyntheticImages images_;
    UsbDevice* list_ = nullptr;
};

TEST_F(UsbDiagnostics, GoToTheInstalledSinkAndNotToStandardOutput) {
    usb_diagnostic_sink_install(capture_line);
    EXPECT_EQ(list_with_bad_class_text(), "");
    EXPECT_EQ(received_lines, std::vector<std::string>{"_parse_guid returned -3 on GUID {bad}"});
    ASSERT_NE(list_, nullptr);
    EXPECT_EQ(list_->guid_index, 1);
}

TEST_F(UsbDiagnostics, UninstallingTheSinkRestoresStandardOutput) {
    usb_diagnostic_sink_install(capture_line);
    usb_diagnostic_sink_install(nullptr);
    EXPECT_EQ(list_with_bad_class_text(), "_parse_guid returned -3 on GUID {bad}\n");
    EXPECT_TRUE(received_lines.empty());
}

}  // namespace
