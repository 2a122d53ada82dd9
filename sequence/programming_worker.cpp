// The worker's frame: start, upload, checks, decision, and the end sequence
// every path goes through.
#include "sequence/programming_worker.h"

#include <atomic>
#include <string>

#include "window/log.h"
#include "window/window_port.h"
#include "instruments/device_list.h"
#include "sequence/flash_core_upload.h"

namespace {

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

constexpr int COMMAND_ITEMS[] = {IDM_POWER_CYCLE, IDM_FPGA_HALT, IDM_VERIFY_CONTENTS};

constexpr const char* SUMMARY_MISMATCH =
    "Some of the internal firmwares do not match the available version.\r\n"
    "Please program the device in order to enable all the new features or power-cycle the "
    "device to resume normal operation with the existing versions.";
constexpr const char* SUMMARY_ALREADY_UP_TO_DATE =
    "All the internal firmwares are already up to date, no re-programming is needed.\r\n"
    "Please power-cycle the device to resume normal operation.";

void enable_program_and_menu(WindowPort& port, bool enabled) {
    port.control_enable(IDC_PROGRAM, enabled);
    for (const int item : COMMAND_ITEMS) {
        port.menu_item_enable(item, enabled);
    }
}

void disable_commands(WindowPort& port) {
    enable_program_and_menu(port, false);
    port.control_enable(IDC_REFRESH, false);
}

void decide(UsbDevice* device, bool program_mode, CheckResults& results) {
    WindowPort& port = window_port();
    if (!program_mode) {
        if (results.all_up_to_date()) {
            port.message_box(SUMMARY_UP_TO_DATE, MessageIcon::information);
        } else {
            port.message_box(SUMMARY_MISMATCH, MessageIcon::warning);
        }
        return;
    }
    if (results.all_up_to_date()) {
        port.message_box(SUMMARY_ALREADY_UP_TO_DATE, MessageIcon::information);
        return;
    }
    programming_phase(device, results);
}

void end_sequence(UsbDevice* device) {
    WindowPort& port = window_port();
    progress_overall(0);
    progress_task(0);
    enable_program_and_menu(port, true);
    usb_close_device(device);
    // The refresh frees the record of the device just closed. "Refresh" comes
    // back only after it: a click on it before would rebuild the list on the
    // window's thread while this refresh is still walking it.
    device_list_refresh(remembered_device_path().c_str());
    port.control_enable(IDC_REFRESH, true);
    enable_program_and_menu(port, true);
}

}  // namespace

void worker_request_stop() {
    stop_requested.store(true);
}

bool worker_stop_requested() {
    return stop_requested.load();
}

void worker_clear_stop() {
    stop_requested.store(false);
}

bool worker_stops_here(const char* next_item) {
    if (!worker_stop_requested()) {
        return false;
    }
    log_append(STOPPED_LOG);
    log_end_line();
    if (next_item == nullptr) {
        window_port().message_box(STOPPED_BEFORE_WRITING, MessageIcon::warning);
        return true;
    }
    const std::string text = std::string("The run was stopped before the ") + next_item +
                             " was rewritten: the items before it are written and checked, it "
                             "and the items after it are not up to date.\r\nRun program again "
                             "to bring the device up to date.";
    window_port().message_box(text.c_str(), MessageIcon::warning);
    return true;
}

int ProgrammingWorker(const WorkerRequest* request) {
    UsbDevice* const device = request->device;
    const bool program_mode = request->program_mode != 0;

    disable_commands(window_port());
    progress_overall(0);
    progress_task(0);
    if (!worker_stops_here(nullptr) && flash_core_upload(device, 0, program_mode ? 1 : 2) == 0) {
        CheckResults results;
        if (check_phase(device, program_mode, results)) {
            decide(device, program_mode, results);
        }
    }
    end_sequence(device);
    return 0;
}
