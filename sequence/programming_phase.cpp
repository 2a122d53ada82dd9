// The programming phase: every item the checks found out of date is
// rewritten in a fixed order; the first failure stops the run.
#include "board/power_config.h"
#include "board/usb_firmware.h"
#include "flash/flash_image.h"
#include "flash/flash_layout.h"
#include "images/images.h"
#include "sequence/item_report.h"
#include "sequence/programming_worker.h"
#include "window/log.h"
#include "window/window_port.h"

namespace {

#define TRY_AGAIN_ADVICE                                                                   \
    ", the device may become unusable now.\r\nPlease try to program it again and, if the " \
    "problem persists, contact Talvenor AG for further assistance"

struct FlashSpans {
    int erase_from, program_from, verify_from, verify_to;
};

struct FlashStep {
    const char* name;  // "bitstream" in "Erasing bitstream ... "
    int selector;
    int CheckResults::*result;
    WorkItem item;
    FlashSpans spans;
    const char* programming_failed;
    const char* verification_failed;
};

const FlashStep BITSTREAM_STEP = {
    "bitstream",
    SELECTOR_BITSTREAM,
    &CheckResults::bitstream,
    WorkItem::bitstream,
    {10, 42, 58, 60},
    "The device bitstream programming failed" TRY_AGAIN_ADVICE,
    "The programmed bitstream could not be verified" TRY_AGAIN_ADVICE};
const FlashStep FIRMWARE_STEP = {"firmware",
                                 SELECTOR_FIRMWARE,
                                 &CheckResults::firmware,
                                 WorkItem::firmware,
                                 {60, 62, 64, 66},
                                 "The device firmware programming failed" TRY_AGAIN_ADVICE,
                                 "The programmed firmware could not be verified" TRY_AGAIN_ADVICE};
const FlashStep FACTORY_FIRMWARE_STEP = {
    "factory firmware",
    SELECTOR_FACTORY_FIRMWARE,
    &CheckResults::factory_firmware,
    WorkItem::factory_firmware,
    {116, 118, 120, 122},
    "The factory firmware programming failed" TRY_AGAIN_ADVICE,
    "The programmed factory firmware could not be verified" TRY_AGAIN_ADVICE};

const char* FACTORY_BITSTREAM_FAILED = "The factory bitstream programming failed" TRY_AGAIN_ADVICE;
const char* FACTORY_BITSTREAM_UNVERIFIED =
    "The programmed factory bitstream could not be verified" TRY_AGAIN_ADVICE;
const char* USB_FIRMWARE_FAILED = "The USB firmware programming failed" TRY_AGAIN_ADVICE;
const char* POWER_FAILED = "The power configuration update failed" TRY_AGAIN_ADVICE;

// RESTORE_DEFAULT_ALL, then 1000 ms: the supply's working values back to the
// stored ones, as they were before the run.
constexpr std::uint8_t POWER_RESTORE_SEQUENCE[] = {0x12, 0xE8, 0x03};

void begin_line(const char* verb, const char* name) {
    log_append(verb);
    log_append(name);
    log_append(" ... ");
}

bool end_line(bool succeeded, const char* message) {
    log_append(succeeded ? "success" : "failed");
    log_end_line();
    if (!succeeded) {
        window_port().message_box(message, MessageIcon::warning);
    }
    return succeeded;
}

// Reports one phase of the items it covered; returns succeeded.
bool report_phase(std::initializer_list<WorkItem> items, ItemPhase phase, bool succeeded) {
    for (const WorkItem item : items) {
        item_report(item, phase, succeeded ? ItemOutcome::success : ItemOutcome::failed);
    }
    return succeeded;
}

bool program_flash_step(UsbDevice* device, const FlashStep& step, CheckResults& results) {
    if (results.*step.result == 0) {
        const FlashSpans& spans = step.spans;
        if (worker_stops_here(step.name)) {
            return false;
        }
        begin_line("Erasing ", step.name);
        item_report(step.item, ItemPhase::erase, ItemOutcome::started);
        const bool erased =
            image_erase(device, step.selector, spans.erase_from, spans.program_from) == 0;
        if (!end_line(report_phase({step.item}, ItemPhase::erase, erased),
                      step.programming_failed) ||
            worker_stops_here(step.name)) {
            return false;
        }
        begin_line("Programming ", step.name);
        item_report(step.item, ItemPhase::program, ItemOutcome::started);
        const bool programmed =
            image_program(device, step.selector, spans.program_from, spans.verify_from) == 0;
        if (!end_line(report_phase({step.item}, ItemPhase::program, programmed),
                      step.programming_failed) ||
            worker_stops_here(step.name)) {
            return false;
        }
        begin_line("Checking ", step.name);
        item_report(step.item, ItemPhase::verify, ItemOutcome::started);
        const bool verified =
            image_verify(device, step.selector, spans.verify_from, spans.verify_to) > 0;
        if (!end_line(report_phase({step.item}, ItemPhase::verify, verified),
                      step.verification_failed)) {
            return false;
        }
    }
    progress_overall(static_cast<std::uint32_t>(step.spans.verify_to));
    return true;
}

// The factory bitstream and its configuration sequence share one set of log
// lines; within each stage the configuration sequence comes first, and the
// bitstream's step is not tried after the sequence's failed.
struct StageResult {
    bool sequence_ok = true;
    bool bitstream_ok = true;
    bool ok() const { return sequence_ok && bitstream_ok; }
};

template <typename SequenceStep, typename BitstreamStep>
StageResult run_factory_stage(ItemPhase phase, bool sequence, bool bitstream,
                              SequenceStep sequence_step, BitstreamStep bitstream_step) {
    StageResult stage;
    if (sequence) {
        item_report(WorkItem::configuration_sequence, phase, ItemOutcome::started);
        stage.sequence_ok =
            report_phase({WorkItem::configuration_sequence}, phase, sequence_step());
    }
    if (bitstream && stage.sequence_ok) {
        item_report(WorkItem::factory_bitstream, phase, ItemOutcome::started);
        stage.bitstream_ok = report_phase({WorkItem::factory_bitstream}, phase, bitstream_step());
    }
    return stage;
}

bool program_factory_bitstream(UsbDevice* device, CheckResults& results) {
    const bool sequence = results.configuration_sequence == 0;
    const bool bitstream = results.factory_bitstream == 0;
    if (sequence || bitstream) {
        if (worker_stops_here("factory bitstream")) {
            return false;
        }
        begin_line("Erasing ", "factory bitstream");
        const StageResult erased = run_factory_stage(
            ItemPhase::erase, sequence, bitstream,
            [&] { return image_erase(device, SELECTOR_CONFIGURATION_SEQUENCE, 66, 67) == 0; },
            [&] { return image_erase(device, SELECTOR_FACTORY_BITSTREAM, 67, 98) == 0; });
        if (!end_line(erased.ok(), FACTORY_BITSTREAM_FAILED) ||
            worker_stops_here("factory bitstream")) {
            return false;
        }
        begin_line("Programming ", "factory bitstream");
        const StageResult programmed = run_factory_stage(
            ItemPhase::program, sequence, bitstream,
            [&] { return image_program(device, SELECTOR_CONFIGURATION_SEQUENCE, 98, 98) == 0; },
            [&] { return image_program(device, SELECTOR_FACTORY_BITSTREAM, 98, 114) == 0; });
        if (!end_line(programmed.ok(), FACTORY_BITSTREAM_FAILED) ||
            worker_stops_here("factory bitstream")) {
            return false;
        }
        begin_line("Checking ", "factory bitstream");
        const StageResult verified = run_factory_stage(
            ItemPhase::verify, sequence, bitstream,
            [&] {
                results.configuration_sequence =
                    image_verify(device, SELECTOR_CONFIGURATION_SEQUENCE, 114, 114);
                return results.configuration_sequence > 0;
            },
            [&] { return image_verify(device, SELECTOR_FACTORY_BITSTREAM, 114, 116) > 0; });
        if (!end_line(verified.ok(), FACTORY_BITSTREAM_UNVERIFIED)) {
            return false;
        }
    }
    progress_overall(116);
    return true;
}

bool program_usb_firmware(UsbDevice* device, const CheckResults& results) {
    if (results.usb_firmware != 0) {
        progress_overall(124);
        return true;
    }
    if (worker_stops_here("USB firmware")) {
        return false;
    }
    const FirmwareImage& image = firmware_image(IMAGE_USB_FIRMWARE);
    item_report(WorkItem::usb_firmware, ItemPhase::program, ItemOutcome::started);
    // Its erase, write and read-back are one step of the board's; a success
    // means every chunk read back as written.
    if (report_phase({WorkItem::usb_firmware}, ItemPhase::program,
                     usb_firmware_program(device, image.data, image.length) > 0)) {
        report_phase({WorkItem::usb_firmware}, ItemPhase::verify, true);
        return true;
    }
    window_port().message_box(USB_FIRMWARE_FAILED, MessageIcon::warning);
    return false;
}

bool stored_values_hold_script(UsbDevice* device, std::uint8_t bus_address,
                               const FirmwareImage& script) {
    return power_supply_restore(device, bus_address) &&
           power_supply_date_compare(device, bus_address, script.bytes()) > 0;
}

bool program_power_supply(UsbDevice* device, WorkItem item, bool up_to_date, const char* label,
                          std::uint8_t bus_address, int image_id, int overall_from) {
    if (up_to_date) {
        progress_overall(static_cast<std::uint32_t>(overall_from + 2));
        return true;
    }
    if (worker_stops_here(bus_address == BUS_ADDRESS_SUPPLY_A ? "power supply A"
                                                              : "power supply B")) {
        return false;
    }
    log_append(label);
    item_report(item, ItemPhase::program, ItemOutcome::started);
    const FirmwareImage& script = firmware_image(image_id);
    const bool configured = power_config_program(device, bus_address, script.data, script.length,
                                                 overall_from, overall_from + 1) == 0;
    if (!configured) {
        // The script's date went into the working values first: left there, it
        // would make the next check find the supply up to date.
        power_config_program(device, bus_address, POWER_RESTORE_SEQUENCE,
                             sizeof POWER_RESTORE_SEQUENCE, overall_from + 1, overall_from + 1);
    }
    // The store sequence follows only a script that reached every value. Its
    // sends cannot fail visibly, so the stored values are brought back and their
    // date compared: a store that did not take effect fails the supply.
    const bool stored =
        report_phase({item}, ItemPhase::program,
                     configured && power_config_program(device, bus_address, POWER_STORE_SEQUENCE,
                                                        sizeof POWER_STORE_SEQUENCE,
                                                        overall_from + 1, overall_from + 2) == 0);
    const bool ok = stored && report_phase({item}, ItemPhase::verify,
                                           stored_values_hold_script(device, bus_address, script));
    log_append(ok ? "done" : "failed");
    log_end_line();
    if (!ok) {
        window_port().message_box(POWER_FAILED, MessageIcon::warning);
    }
    return ok;
}

}  // namespace

void programming_phase(UsbDevice* device, CheckResults& results) {
    const bool completed =
        program_flash_step(device, BITSTREAM_STEP, results) &&
        program_flash_step(device, FIRMWARE_STEP, results) &&
        program_factory_bitstream(device, results) &&
        program_flash_step(device, FACTORY_FIRMWARE_STEP, results) &&
        program_usb_firmware(device, results) &&
        program_power_supply(device, WorkItem::power_supply_a, results.power_supply_a != 0,
                             "Programming power supply A ... ", BUS_ADDRESS_SUPPLY_A,
                             IMAGE_POWER_SUPPLY_A, 124) &&
        program_power_supply(device, WorkItem::power_supply_b, results.power_supply_b != 0,
                             "Programming power supply B ... ", BUS_ADDRESS_SUPPLY_B,
                             IMAGE_POWER_SUPPLY_B, 126);
    if (completed) {
        window_port().message_box(SUMMARY_UP_TO_DATE, MessageIcon::information);
    }
}
