// Diagnostics of the USB layer go to the installed sink, and only there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/clock.h"
#include "device/diagnostics.h"
#include "device/usb.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

namespace {

std::vector<std::string> received_lines;

void capture_line(const char* line) { received_lines.emplace_back(line); }

// Lists a class text that does not parse on the simulated bus; what reached
// standard output meanwhile.
std::string standard_output_of_bad_class_listing() {
    sim::VirtualClock clock;
    sim::SimBackend bus(clock);
    clock_install(&clock);
    usb_install_backend(&bus);
    testing::internal::CaptureStdout();
    const char* guid = "{bad}";
    UsbDevice* list = nullptr;
    usb_find_devices(&guid, 1, &list);
    std::string printed = testing::internal::GetCapturedStdout();
    usb_free_device_list(list);
    usb_install_backend(nullptr);
    clock_install(nullptr);
    return printed;
}

TEST(UsbDiagnostics, GoToTheInstalledSinkUntilItIsUninstalled) {
    received_lines.clear();
    usb_diagnostic_sink_install(capture_line);
    EXPECT_EQ(standard_output_of_bad_class_listing(), "");
    EXPECT_EQ(received_lines, std::vector<std::string>{"_parse_guid returned -3 on GUID {bad}"});

    usb_diagnostic_sink_install(nullptr);
    EXPECT_EQ(standard_output_of_bad_class_listing(), "_parse_guid returned -3 on GUID {bad}\n");
    EXPECT_EQ(received_lines.size(), 1U);
}

}  // namespace
