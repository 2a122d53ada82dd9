#include "sequence/item_table.h"

#include <array>
#include <string>

#include "device/usb.h"
#include "images/images.h"

namespace {

#define UNVERIFIED_ADVICE                                                                      \
    " could not be verified, please try to terminate all other instances of this utility, "    \
    "unplug and reconnect the USB cable and refresh the device list. If the problem persists " \
    "please contact Talvenor AG for further assistance."

#define TRY_AGAIN_ADVICE                                                                   \
    ", the device may become unusable now.\r\nPlease try to program it again and, if the " \
    "problem persists, contact Talvenor AG for further assistance"

constexpr const char* POWER_FAILED = "The power configuration update failed" TRY_AGAIN_ADVICE;

// In the order of the checks. The overall bar runs 0 to 128: the checks of a
// Program run take 1 to 10, a Verify run's 2 to 128; the writes 10 to 128.
const std::array<ItemRow, WORK_ITEM_COUNT> ITEM_TABLE = {{
    {.item = WorkItem::firmware,
     .name = "firmware",
     .kind = ItemKind::flash_region,
     .image_id = IMAGE_FIRMWARE,
     .region = flash_region(SELECTOR_FIRMWARE),
     .shares_lines_with = WorkItem::firmware,
     .write_rank = 1,
     .check_when_programming = {1, 2},
     .check_when_verifying = {2, 5},
     .erase = {60, 62},
     .program = {62, 64},
     .verify = {64, 66},
     .unverified_message = "The device firmware version" UNVERIFIED_ADVICE,
     .write_failed_message = "The device firmware programming failed" TRY_AGAIN_ADVICE,
     .verify_failed_message = "The programmed firmware could not be verified" TRY_AGAIN_ADVICE,
     .revision = RevisionSource::firmware_version},
    {.item = WorkItem::bitstream,
     .name = "bitstream",
     .kind = ItemKind::flash_region,
     .image_id = IMAGE_BITSTREAM,
     .region = flash_region(SELECTOR_BITSTREAM),
     .shares_lines_with = WorkItem::bitstream,
     .write_rank = 0,
     .check_when_programming = {2, 5},
     .check_when_verifying = {5, 64},
     .erase = {10, 42},
     .program = {42, 58},
     .verify = {58, 60},
     .unverified_message = "The device bitstream version" UNVERIFIED_ADVICE,
     .write_failed_message = "The device bitstream programming failed" TRY_AGAIN_ADVICE,
     .verify_failed_message = "The programmed bitstream could not be verified" TRY_AGAIN_ADVICE,
     .revision = RevisionSource::fpga_version},
    {.item = WorkItem::factory_firmware,
     .name = "factory firmware",
     .kind = ItemKind::flash_region,
     .image_id = IMAGE_FACTORY_FIRMWARE,
     .region = flash_region(SELECTOR_FACTORY_FIRMWARE),
     .shares_lines_with = WorkItem::factory_firmware,
     .write_rank = 3,
     .check_when_programming = {5, 7},
     .check_when_verifying = {64, 68},
     .erase = {116, 118},
     .program = {118, 120},
     .verify = {120, 122},
     .unverified_message = "The factory firmware version" UNVERIFIED_ADVICE,
     .write_failed_message = "The factory firmware programming failed" TRY_AGAIN_ADVICE,
     .verify_failed_message =
         "The programmed factory firmware could not be verified" TRY_AGAIN_ADVICE,
     .revision = RevisionSource::firmware_version},
    {.item = WorkItem::factory_bitstream,
     .name = "factory bitstream",
     .kind = ItemKind::flash_region,
     .image_id = IMAGE_FACTORY_BITSTREAM,
     .region = flash_region(SELECTOR_FACTORY_BITSTREAM),
     .shares_lines_with = WorkItem::factory_bitstream,
     .write_rank = 2,
     .check_when_programming = {7, 10},
     .check_when_verifying = {68, 128},
     .erase = {67, 98},
     .program = {98, 114},
     .verify = {114, 116},
     .unverified_message = "The factory bitstream version" UNVERIFIED_ADVICE,
     .write_failed_message = "The factory bitstream programming failed" TRY_AGAIN_ADVICE,
     .verify_failed_message =
         "The programmed factory bitstream could not be verified" TRY_AGAIN_ADVICE,
     .revision = RevisionSource::fpga_version},
    // The FPGA's configuration sequence: small, checked and written under the
    // factory bitstream's lines.
    {.item = WorkItem::configuration_sequence,
     .name = "configuration sequence",
     .kind = ItemKind::flash_region,
     .image_id = IMAGE_CONFIGURATION_SEQUENCE,
     .region = flash_region(SELECTOR_CONFIGURATION_SEQUENCE),
     .shares_lines_with = WorkItem::factory_bitstream,
     .write_rank = 2,
     .check_when_programming = {10, 10},
     .check_when_verifying = {128, 128},
     .erase = {66, 67},
     .program = {98, 98},
     .verify = {114, 114},
     .revision = RevisionSource::none},
    {.item = WorkItem::usb_firmware,
     .name = "USB firmware",
     .kind = ItemKind::usb_firmware,
     .image_id = IMAGE_USB_FIRMWARE,
     .shares_lines_with = WorkItem::usb_firmware,
     .write_rank = 4,
     .write = {122, 124},
     .write_failed_message = "The USB firmware programming failed" TRY_AGAIN_ADVICE,
     .revision = RevisionSource::usb_device_id},
    {.item = WorkItem::power_supply_a,
     .name = "power supply A",
     .kind = ItemKind::power_supply,
     .image_id = IMAGE_POWER_SUPPLY_A,
     .bus_address = BUS_ADDRESS_SUPPLY_A,
     .shares_lines_with = WorkItem::power_supply_a,
     .write_rank = 5,
     .write = {124, 126},
     .write_failed_message = POWER_FAILED,
     .revision = RevisionSource::supply_date},
    {.item = WorkItem::power_supply_b,
     .name = "power supply B",
     .kind = ItemKind::power_supply,
     .image_id = IMAGE_POWER_SUPPLY_B,
     .bus_address = BUS_ADDRESS_SUPPLY_B,
     .shares_lines_with = WorkItem::power_supply_b,
     .write_rank = 6,
     .write = {126, 128},
     .write_failed_message = POWER_FAILED,
     .revision = RevisionSource::supply_date},
}};

}  // namespace

std::span<const ItemRow> item_table() {
    return ITEM_TABLE;
}

const ItemRow* item_row(std::span<const ItemRow> table, WorkItem item) {
    for (const ItemRow& row : table) {
        if (row.item == item) {
            return &row;
        }
    }
    return nullptr;
}

const char* work_item_name(WorkItem item) {
    const ItemRow* row = item_row(ITEM_TABLE, item);
    return row != nullptr ? row->name : "";
}

std::string available_revision(const ItemRow& row) {
    const AvailableVersions versions = available_versions();
    switch (row.revision) {
        case RevisionSource::none:
            return "";
        case RevisionSource::firmware_version:
            return std::to_string(versions.firmware_revision);
        case RevisionSource::fpga_version:
            return std::to_string(versions.fpga_revision);
        case RevisionSource::usb_device_id:
            return versions.usb_revision;
        case RevisionSource::supply_date:
            return std::string(script_mfr_date(firmware_image(row.image_id).bytes()));
    }
    return "";
}
