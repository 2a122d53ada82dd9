// The check phase: eight items of the instrument compared with the embedded set.
#include "board/power_config.h"
#include "board/usb_firmware.h"
#include "flash/flash_image.h"
#include "flash/flash_layout.h"
#include "images/images.h"
#include "sequence/flash_core_upload.h"
#include "sequence/item_report.h"
#include "sequence/programming_worker.h"
#include "window/log.h"
#include "window/window_port.h"

namespace {

#define UNVERIFIED_ADVICE                                                                      \
    " could not be verified, please try to terminate all other instances of this utility, "    \
    "unplug and reconnect the USB cable and refresh the device list. If the problem persists " \
    "please contact Talvenor AG for further assistance."

struct FlashCheck {
    const char* label;
    int selector;
    int program_from, program_to;
    int check_from, check_to;
    int CheckResults::*result;
    WorkItem item;
    const char* message;
};

const FlashCheck FLASH_CHECKS[] = {
    {"Checking firmware ... ", SELECTOR_FIRMWARE, 1, 2, 2, 5, &CheckResults::firmware,
     WorkItem::firmware, "The device firmware version" UNVERIFIED_ADVICE},
    {"Checking bitstream ... ", SELECTOR_BITSTREAM, 2, 5, 5, 64, &CheckResults::bitstream,
     WorkItem::bitstream, "The device bitstream version" UNVERIFIED_ADVICE},
    {"Checking factory firmware ... ", SELECTOR_FACTORY_FIRMWARE, 5, 7, 64, 68,
     &CheckResults::factory_firmware, WorkItem::factory_firmware,
     "The factory firmware version" UNVERIFIED_ADVICE},
};

const char* FACTORY_BITSTREAM_UNVERIFIED = "The factory bitstream version" UNVERIFIED_ADVICE;

void log_outcome(const char* word) {
    log_append(word);
    log_end_line();
}

ItemOutcome comparison_outcome(int result) {
    return result > 0    ? ItemOutcome::up_to_date
           : result == 0 ? ItemOutcome::needs_update
                         : ItemOutcome::failed;
}

void log_comparison(int result) {
    log_outcome(result > 0 ? "up to date" : result == 0 ? "needs update" : "failed");
}

bool run_flash_check(UsbDevice* device, const FlashCheck& check, bool program_mode,
                     CheckResults& results) {
    log_append(check.label);
    const int result =
        program_mode ? image_verify(device, check.selector, check.program_from, check.program_to)
                     : image_verify(device, check.selector, check.check_from, check.check_to);
    log_comparison(result);
    item_report(check.item, ItemPhase::check, comparison_outcome(result));
    if (result < 0) {
        window_port().message_box(check.message, MessageIcon::warning);
        return false;
    }
    results.*check.result = result;
    return true;
}

// The factory bitstream and the configuration sequence share one label.
bool run_factory_bitstream_check(UsbDevice* device, bool program_mode, CheckResults& results) {
    log_append("Checking factory bitstream ... ");
    const int bitstream = program_mode ? image_verify(device, SELECTOR_FACTORY_BITSTREAM, 7, 10)
                                       : image_verify(device, SELECTOR_FACTORY_BITSTREAM, 68, 128);
    int sequence = 0;
    if (bitstream >= 0) {
        sequence = program_mode ? image_verify(device, SELECTOR_CONFIGURATION_SEQUENCE, 10, 10)
                                : image_verify(device, SELECTOR_CONFIGURATION_SEQUENCE, 128, 128);
    }
    item_report(WorkItem::factory_bitstream, ItemPhase::check, comparison_outcome(bitstream));
    if (bitstream >= 0) {
        item_report(WorkItem::configuration_sequence, ItemPhase::check,
                    comparison_outcome(sequence));
    }
    if (bitstream < 0 || sequence < 0) {
        log_outcome("failed");
        window_port().message_box(FACTORY_BITSTREAM_UNVERIFIED, MessageIcon::warning);
        return false;
    }
    log_outcome(bitstream > 0 && sequence > 0 ? "up to date" : "needs update");
    results.factory_bitstream = bitstream;
    results.configuration_sequence = sequence;
    return true;
}

// The boot marker and the device id of the EEPROM's header: an EEPROM whose
// write stopped before its marker was committed boots nothing and is out of
// date, whatever id it holds.
int check_usb_firmware(UsbDevice* device) {
    log_append("Checking USB firmware ... ");
    std::uint16_t installed_id = 0;
    const int compared =
        usb_firmware_compare(device, firmware_image(IMAGE_USB_FIRMWARE).bytes(), &installed_id);
    if (compared < 0) {
        log_outcome("failed");
        item_report(WorkItem::usb_firmware, ItemPhase::check, ItemOutcome::failed);
        return 0;
    }
    log_outcome(compared > 0 ? "up to date" : "needs update");
    item_report(WorkItem::usb_firmware, ItemPhase::check,
                compared > 0 ? ItemOutcome::up_to_date : ItemOutcome::needs_update,
                usb_revision_text(static_cast<std::uint8_t>(installed_id >> 8),
                                  static_cast<std::uint8_t>(installed_id))
                    .data());
    return compared > 0 ? 1 : 0;
}

// The supply's MFR_DATE against the script's. The supply is first told to
// bring back its stored values: a run that stopped after the script but before
// the store left the new values in the working registers only, and the supply
// would come up with the old ones at the next power-on.
int check_power_supply(UsbDevice* device, WorkItem item, const char* label,
                       std::uint8_t bus_address, int image_id) {
    log_append(label);
    // Without the restore, the date read would be the working one.
    const bool restored = power_supply_restore(device, bus_address);
    std::string installed_date;
    const int compared =
        restored ? power_supply_date_compare(device, bus_address, firmware_image(image_id).bytes(),
                                             &installed_date)
                 : -1;
    log_comparison(compared);
    item_report(item, ItemPhase::check, comparison_outcome(compared), installed_date);
    return compared > 0 ? 1 : 0;
}

}  // namespace

bool check_phase(UsbDevice* device, bool program_mode, CheckResults& results) {
    progress_overall(program_mode ? 1 : 2);
    for (const FlashCheck& check : FLASH_CHECKS) {
        if (worker_stops_here(nullptr) || !run_flash_check(device, check, program_mode, results)) {
            return false;
        }
    }
    if (worker_stops_here(nullptr) || !run_factory_bitstream_check(device, program_mode, results) ||
        worker_stops_here(nullptr)) {
        return false;
    }
    results.usb_firmware = check_usb_firmware(device);
    results.power_supply_a =
        check_power_supply(device, WorkItem::power_supply_a, "Checking power supply A ... ",
                           BUS_ADDRESS_SUPPLY_A, IMAGE_POWER_SUPPLY_A);
    results.power_supply_b =
        check_power_supply(device, WorkItem::power_supply_b, "Checking power supply B ... ",
                           BUS_ADDRESS_SUPPLY_B, IMAGE_POWER_SUPPLY_B);
    return !worker_stops_here(nullptr);
}
