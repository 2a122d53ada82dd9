// The worker's frame: start, upload, checks, decision, and the end sequence
// every path goes through.
#include "sequence/programming_worker.h"

#include <algorithm>

#include "instruments/device_list.h"
#include "sequence/flash_core_upload.h"
#include "sequence/worker_phases.h"
#include "window/log.h"
#include "window/window_port.h"

namespace {

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

const ItemRow* first_failed_check(const WorkerRun& run) {
    const auto failed = std::find_if(run.items.begin(), run.items.end(), [&](const ItemRow& row) {
        return run.outcome.state(row.item) == ItemState::failed;
    });
    return failed != run.items.end() ? &*failed : nullptr;
}

void decide(WorkerRun& run) {
    WindowPort& port = window_port();
    if (run.all_up_to_date()) {
        run.outcome.result = RunResult::up_to_date;
        port.message_box(run.program_mode ? SUMMARY_ALREADY_UP_TO_DATE : SUMMARY_UP_TO_DATE,
                         MessageIcon::information);
        return;
    }
    if (!run.program_mode) {
        // A board item whose check could not be completed counts as out of
        // date for the summary; the run itself could not tell.
        run.outcome.result = RunResult::out_of_date;
        if (const ItemRow* failed = first_failed_check(run)) {
            run.outcome.fail(failed->item, ItemPhase::check);
        }
        port.message_box(SUMMARY_MISMATCH, MessageIcon::warning);
        return;
    }
    programming_phase(run);
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

int ProgrammingWorker(const WorkerRequest* request) {
    RunOutcome own_outcome;
    RunOutcome& outcome = request->outcome != nullptr ? *request->outcome : own_outcome;
    WorkerRun run{request->device, request->program_mode != 0, request->items, {}, outcome};

    disable_commands(window_port());
    progress_overall(0);
    progress_task(0);
    outcome = RunOutcome{};
    if (!run.stops_here(nullptr) &&
        flash_core_upload(run.device, 0, run.program_mode ? 1 : 2) == 0 && check_phase(run)) {
        decide(run);
    }
    end_sequence(run.device);
    return 0;
}
