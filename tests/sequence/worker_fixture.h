#pragma once
// The worker run on the selected simulated instrument, as the program command
// hands it over, on the test's thread; what it did to the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "commands/device_commands.h"
#include "device/flash_commands.h"
#include "flash/flash_layout.h"
#include "instruments/device_list.h"
#include "scenario/command_fixture.h"
#include "scenario/run_texts.h"
#include "sequence/item_table.h"
#include "sequence/programming_worker.h"
#include "sequence/run_outcome.h"

namespace worker_test {

using namespace command_test;

constexpr std::uint32_t FLASH_READ = 0x30000000;

class Worker : public CommandTest {
  protected:
    // A current instrument, listed and selected.
    sim::Instrument& listed(std::int32_t number = 31) {
        sim::Instrument& instrument = attach(number);
        device_list_refresh(nullptr);
        return instrument;
    }

    // The worker on the selected instrument, opened and remembered as the
    // program command hands it over, on this thread.
    void run_worker(int program_mode, RunOutcome* outcome = nullptr,
                    std::span<const ItemRow> items = item_table()) {
        UsbDevice* device = listed_device(window_.combo_selection());
        ASSERT_NE(device, nullptr);
        remembered_device_path() = device->path;
        ASSERT_EQ(usb_open_device(device, 1), 0);
        const WorkerRequest request{device, program_mode, outcome, items};
        EXPECT_EQ(ProgrammingWorker(&request), 0);
    }

    void load_older(sim::Instrument& instrument, int selector) {
        const sim::FlashPlacement placement = sim::flash_placement(selector);
        instrument.flash(placement.device)
            .load(placement.start, sim::older_flash_image(images().flash_image(selector)));
    }

    // The calls that enable or disable commands, or change the combo box.
    std::vector<std::string> window_calls() const {
        std::vector<std::string> found;
        for (const std::string& call : window_.calls) {
            if (call.rfind("log_", 0) != 0) {
                found.push_back(call.rfind("message_box", 0) == 0 ? "message_box" : call);
            }
        }
        return found;
    }

    bool logged(const std::string& line) const {
        return window_.log().find(line) != std::string::npos;
    }

    static bool bus_read_sent(const sim::Instrument& instrument, int value, int index,
                              std::size_t from) {
        const auto requests = controls(instrument, from);
        return std::any_of(requests.begin(), requests.end(), [&](const sim::TransferRecord& t) {
            return t.setup.request == VREQ_BUS_TRANSFER && t.setup.value == value &&
                   t.setup.index == index;
        });
    }
};

}  // namespace worker_test
