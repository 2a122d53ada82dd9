// The check phase: every item of the instrument compared with the embedded set.
#include <string>
#include <utility>
#include <vector>

#include "board/power_config.h"
#include "board/usb_firmware.h"
#include "flash/flash_image.h"
#include "images/images.h"
#include "sequence/stop_request.h"
#include "sequence/worker_phases.h"
#include "window/log.h"
#include "window/window_port.h"

namespace {

void log_outcome(const char* word) {
    log_append(word);
    log_end_line();
}

void log_check_label(const ItemRow& row) {
    log_append(("Checking " + std::string(row.name) + " ... ").c_str());
}

// The comparisons share one convention: positive the same (FLASH_VERIFY_MATCHES,
// USB_FIRMWARE_HEADER_SAME, POWER_DATE_SAME), 0 different, negative not read
// to the end.
ItemOutcome comparison_outcome(int result) {
    return result > 0    ? ItemOutcome::up_to_date
           : result == 0 ? ItemOutcome::needs_update
                         : ItemOutcome::failed;
}

const char* comparison_word(int result) {
    return result > 0 ? "up to date" : result == 0 ? "needs update" : "failed";
}

// The row and the rows that share its lines, in the table's order.
std::vector<const ItemRow*> line_group(const WorkerRun& run, const ItemRow& row) {
    std::vector<const ItemRow*> group{&row};
    for (const ItemRow& other : run.items) {
        if (other.shares_lines_with == row.item && !other.has_own_lines()) {
            group.push_back(&other);
        }
    }
    return group;
}

int verify_region(const WorkerRun& run, const ItemRow& row) {
    const BarSpan bars = run.program_mode ? row.check_when_programming : row.check_when_verifying;
    // A check writes nothing: a stop asked for ends it at the next read.
    return region_verify(run.device, row.region, bars.from, bars.to, &worker_stop_requested);
}

// A flash item and the items under its lines, compared in turn; the first
// comparison that could not be completed ends the group and the run. The line
// ends before the items are reported.
bool check_flash_group(WorkerRun& run, const ItemRow& row) {
    log_check_label(row);
    std::vector<std::pair<const ItemRow*, int>> compared;
    bool completed = true;
    bool all_same = true;
    for (const ItemRow* member : line_group(run, row)) {
        const int result = verify_region(run, *member);
        if (result == FLASH_VERIFY_STOPPED) {
            log_outcome("stopped");
            return !run.stops_here(nullptr);
        }
        compared.emplace_back(member, result);
        completed = result >= 0;
        all_same = all_same && result > 0;
        if (!completed) {
            break;
        }
        run.results[member->item] = result;
    }
    log_outcome(!completed ? "failed" : all_same ? "up to date" : "needs update");
    for (const auto& [member, result] : compared) {
        run.report(member->item, ItemPhase::check, comparison_outcome(result));
    }
    if (!completed) {
        run.fail(compared.back().first->item, ItemPhase::check, row.unverified_message);
    }
    return completed;
}

// The boot marker and the device id of the EEPROM's header: an EEPROM whose
// write stopped before its marker was committed boots nothing and is out of
// date, whatever id it holds. A header that could not be read is rewritten.
void check_usb_firmware(WorkerRun& run, const ItemRow& row) {
    log_check_label(row);
    std::uint16_t installed_id = 0;
    const int compared =
        usb_firmware_compare(run.device, firmware_image(row.image_id).bytes(), &installed_id);
    log_outcome(comparison_word(compared));
    if (compared < 0) {
        run.report(row.item, ItemPhase::check, ItemOutcome::failed);
    } else {
        run.report(row.item, ItemPhase::check, comparison_outcome(compared),
                   usb_revision_text(static_cast<std::uint8_t>(installed_id >> 8),
                                     static_cast<std::uint8_t>(installed_id))
                       .data());
    }
    run.results[row.item] = compared > 0 ? 1 : 0;
}

// The supply's MFR_DATE against the script's. The supply is first told to
// bring back its stored values: a run that stopped after the script but before
// the store left the new values in the working registers only, and the supply
// would come up with the old ones at the next power-on.
void check_power_supply(WorkerRun& run, const ItemRow& row) {
    log_check_label(row);
    const bool restored = power_supply_restore(run.device, row.bus_address);
    std::string installed_date;
    const int compared = restored ? power_supply_date_compare(run.device, row.bus_address,
                                                              firmware_image(row.image_id).bytes(),
                                                              &installed_date)
                                  : -1;
    log_outcome(comparison_word(compared));
    run.report(row.item, ItemPhase::check, comparison_outcome(compared), installed_date);
    run.results[row.item] = compared > 0 ? 1 : 0;
}

// The flash checks take long: a stop is honoured before each, and before the
// board items that follow them (which are quick and checked together).
bool stop_point_before(const ItemRow* previous, const ItemRow& row) {
    return row.kind == ItemKind::flash_region ||
           (previous != nullptr && previous->kind == ItemKind::flash_region);
}

}  // namespace

bool check_phase(WorkerRun& run) {
    progress_overall(run.program_mode ? 1 : 2);
    const ItemRow* previous = nullptr;
    for (const ItemRow& row : run.items) {
        if (!row.has_own_lines()) {
            continue;
        }
        if (stop_point_before(previous, row) && run.stops_here(nullptr)) {
            return false;
        }
        switch (row.kind) {
            case ItemKind::flash_region:
                if (!check_flash_group(run, row)) {
                    return false;
                }
                break;
            case ItemKind::usb_firmware:
                check_usb_firmware(run, row);
                break;
            case ItemKind::power_supply:
                check_power_supply(run, row);
                break;
        }
        previous = &row;
    }
    return !run.stops_here(nullptr);
}
