// The programming phase: every item the checks found out of date is
// rewritten in the rows' write order; the first failure stops the run.
#include <algorithm>
#include <vector>

#include "board/power_config.h"
#include "board/usb_firmware.h"
#include "flash/flash_image.h"
#include "images/images.h"
#include "sequence/run_messages.h"
#include "sequence/worker_phases.h"
#include "window/log.h"
#include "window/window_port.h"

namespace {

// RESTORE_DEFAULT_ALL, then 1000 ms: the supply's working values back to the
// stored ones, as they were before the run.
constexpr std::uint8_t POWER_RESTORE_SEQUENCE[] = {0x12, 0xE8, 0x03};

void begin_line(const char* verb, const char* name) {
    log_append(verb);
    log_append(name);
    log_append(" ... ");
}

void end_line(bool succeeded) {
    log_append(succeeded ? "success" : "failed");
    log_end_line();
}

bool needs_writing(const WorkerRun& run, const ItemRow& row) {
    return run.results[row.item] == 0;
}

// The rows under a flash item's lines that need writing: those sharing its
// lines first, then the item itself, as each write step takes them.
std::vector<const ItemRow*> rows_to_write(const WorkerRun& run, const ItemRow& row) {
    std::vector<const ItemRow*> rows;
    for (const ItemRow& other : run.items) {
        if (other.shares_lines_with == row.item && !other.has_own_lines() &&
            needs_writing(run, other)) {
            rows.push_back(&other);
        }
    }
    if (needs_writing(run, row)) {
        rows.push_back(&row);
    }
    return rows;
}

using RegionStep = int (*)(UsbDevice*, const FlashRegion&, int, int);

// One step (erase, program or verify) of each row in turn; a row is not tried
// after one before it failed. The failed row, or nullptr.
const ItemRow* run_flash_step(WorkerRun& run, const std::vector<const ItemRow*>& rows,
                              ItemPhase phase) {
    for (const ItemRow* row : rows) {
        run.report(row->item, phase, ItemOutcome::started);
        const BarSpan bars = phase == ItemPhase::erase     ? row->erase
                             : phase == ItemPhase::program ? row->program
                                                           : row->verify;
        bool succeeded = false;
        if (phase == ItemPhase::verify) {
            succeeded = region_verify(run.device, row->region, bars.from, bars.to) ==
                        FLASH_VERIFY_MATCHES;
        } else {
            const RegionStep step = phase == ItemPhase::erase ? region_erase : region_program;
            succeeded = step(run.device, row->region, bars.from, bars.to) == FLASH_DONE;
        }
        run.report(row->item, phase, succeeded ? ItemOutcome::success : ItemOutcome::failed);
        if (!succeeded) {
            return row;
        }
    }
    return nullptr;
}

// Erase, program and verify under the item's lines; a stop is honoured
// before each step, never between its rows.
bool program_flash_group(WorkerRun& run, const ItemRow& row) {
    const std::vector<const ItemRow*> rows = rows_to_write(run, row);
    if (!rows.empty()) {
        struct Step {
            ItemPhase phase;
            const char* verb;
            const char* message;
        };
        const Step steps[] = {
            {ItemPhase::erase, "Erasing ", row.write_failed_message},
            {ItemPhase::program, "Programming ", row.write_failed_message},
            {ItemPhase::verify, "Checking ", row.verify_failed_message},
        };
        for (const Step& step : steps) {
            if (run.stops_here(&row, step.phase)) {
                return false;
            }
            begin_line(step.verb, row.name);
            const ItemRow* failed = run_flash_step(run, rows, step.phase);
            end_line(failed == nullptr);
            if (failed != nullptr) {
                run.fail(failed->item, step.phase, step.message);
                return false;
            }
        }
    }
    progress_overall(static_cast<std::uint32_t>(row.bar_end()));
    return true;
}

bool program_usb_firmware(WorkerRun& run, const ItemRow& row) {
    if (!needs_writing(run, row)) {
        progress_overall(static_cast<std::uint32_t>(row.bar_end()));
        return true;
    }
    if (run.stops_here(&row)) {
        return false;
    }
    const FirmwareImage& image = firmware_image(row.image_id);
    run.report(row.item, ItemPhase::program, ItemOutcome::started);
    // Its erase, write and read-back are one step of the board's; a success
    // means every chunk read back as written.
    const bool written = usb_firmware_program(run.device, image.data, image.length) ==
                         USB_FIRMWARE_WRITTEN;
    run.report(row.item, ItemPhase::program, written ? ItemOutcome::success : ItemOutcome::failed);
    if (!written) {
        run.fail(row.item, ItemPhase::program, row.write_failed_message);
        return false;
    }
    run.report(row.item, ItemPhase::verify, ItemOutcome::success);
    return true;
}

bool stored_values_hold_script(UsbDevice* device, std::uint8_t bus_address,
                               const FirmwareImage& script) {
    return power_supply_restore(device, bus_address) &&
           power_supply_date_compare(device, bus_address, script.bytes()) == POWER_DATE_SAME;
}

bool program_power_supply(WorkerRun& run, const ItemRow& row) {
    if (!needs_writing(run, row)) {
        progress_overall(static_cast<std::uint32_t>(row.bar_end()));
        return true;
    }
    if (run.stops_here(&row)) {
        return false;
    }
    UsbDevice* const device = run.device;
    const int from = row.write.from;
    const int middle = from + 1;
    log_append(("Programming " + std::string(row.name) + " ... ").c_str());
    run.report(row.item, ItemPhase::program, ItemOutcome::started);
    const FirmwareImage& script = firmware_image(row.image_id);
    const bool configured = power_config_program(device, row.bus_address, script.data,
                                                 script.length, from, middle) == POWER_CONFIG_ALL_SET;
    if (!configured) {
        // The script's date went into the working values first: left there, it
        // would make the next check find the supply up to date.
        power_config_program(device, row.bus_address, POWER_RESTORE_SEQUENCE,
                             sizeof POWER_RESTORE_SEQUENCE, middle, middle);
    }
    // The store sequence follows only a script that reached every value. Its
    // sends cannot fail visibly, so the stored values are brought back and their
    // date compared: a store that did not take effect fails the supply.
    const bool stored =
        configured && power_config_program(device, row.bus_address, POWER_STORE_SEQUENCE,
                                           sizeof POWER_STORE_SEQUENCE, middle,
                                           row.write.to) == POWER_CONFIG_ALL_SET;
    run.report(row.item, ItemPhase::program, stored ? ItemOutcome::success : ItemOutcome::failed);
    const bool verified = stored && stored_values_hold_script(device, row.bus_address, script);
    if (stored) {
        run.report(row.item, ItemPhase::verify,
                   verified ? ItemOutcome::success : ItemOutcome::failed);
    }
    log_append(verified ? "done" : "failed");
    log_end_line();
    if (!verified) {
        run.fail(row.item, stored ? ItemPhase::verify : ItemPhase::program,
                 row.write_failed_message);
    }
    return verified;
}

bool program_item(WorkerRun& run, const ItemRow& row) {
    switch (row.kind) {
        case ItemKind::flash_region:
            return program_flash_group(run, row);
        case ItemKind::usb_firmware:
            return program_usb_firmware(run, row);
        case ItemKind::power_supply:
            return program_power_supply(run, row);
    }
    return false;
}

// The rows with lines of their own, by rising write rank.
std::vector<const ItemRow*> write_order(std::span<const ItemRow> items) {
    std::vector<const ItemRow*> order;
    for (const ItemRow& row : items) {
        if (row.has_own_lines()) {
            order.push_back(&row);
        }
    }
    std::stable_sort(order.begin(), order.end(), [](const ItemRow* a, const ItemRow* b) {
        return a->write_rank < b->write_rank;
    });
    return order;
}

}  // namespace

void programming_phase(WorkerRun& run) {
    for (const ItemRow* row : write_order(run.items)) {
        if (!program_item(run, *row)) {
            return;
        }
    }
    run.outcome.result = RunResult::updated;
    window_port().message_box(SUMMARY_UP_TO_DATE, MessageIcon::information);
}
