#pragma once
// The eight items the worker compares with the embedded set and rewrites, one
// row each: what the item is called, what it is compared with and where it
// lives, where the bars stand during its steps, what it says when a step fails
// and how its revisions are read. The check phase, the programming phase and
// the front ends' reports all read these rows; a new item is a new row.
#include <cstdint>
#include <span>
#include <string>

#include "flash/flash_layout.h"

// The eight items, in the order the checks take them.
enum class WorkItem : int {
    firmware,
    bitstream,
    factory_firmware,
    factory_bitstream,
    configuration_sequence,
    usb_firmware,
    power_supply_a,
    power_supply_b,
};
constexpr int WORK_ITEM_COUNT = 8;
// What a table may hold at most: the per-item arrays of a run are this long,
// so a longer table (a test's, with an item of its own) fits them too.
constexpr int ITEM_CAPACITY = 16;

enum class ItemKind {
    flash_region,  // verified, erased, programmed and verified again in its flash region
    usb_firmware,  // the boot EEPROM behind the USB controller: one write step of the board's
    power_supply,  // a PMBus supply: its script played, then stored
};

// How an item's revisions are read: the one the embedded set carries, and the
// one the instrument reports (only the USB firmware and the supplies report one).
enum class RevisionSource {
    none,
    firmware_version,  // the version table's firmware revision
    fpga_version,      // the version table's FPGA revision
    usb_device_id,     // the boot image's device id, "major.minor"
    supply_date,       // the script's MFR_DATE, six characters
};

// A stretch of the overall bar (0 to 128).
struct BarSpan {
    int from = 0;
    int to = 0;
};

struct ItemRow {
    WorkItem item = WorkItem::firmware;
    const char* name = "";  // in the log ("Erasing factory bitstream ... ") and the reports
    ItemKind kind = ItemKind::flash_region;
    int image_id = 0;          // the embedded image it is compared with
    FlashRegion region{};      // flash items: where the image lives
    std::uint8_t bus_address = 0;  // supplies: the PMBus address

    // A flash item may share the log lines of another (the configuration
    // sequence those of the factory bitstream): it is checked after that row
    // and, within each write step, written before it. Itself otherwise.
    WorkItem shares_lines_with = WorkItem::firmware;
    // The programming phase takes the rows by rising rank.
    int write_rank = 0;

    BarSpan check_when_programming{};  // flash items' checks in a Program run
    BarSpan check_when_verifying{};    // and in a Verify run
    BarSpan erase{};                   // flash items' write steps
    BarSpan program{};
    BarSpan verify{};
    BarSpan write{};  // the board items' write; flash items end at verify.to

    const char* unverified_message = nullptr;  // a flash check that could not be completed
    const char* write_failed_message = nullptr;
    const char* verify_failed_message = nullptr;  // flash items: the read-back differed

    RevisionSource revision = RevisionSource::none;

    bool has_own_lines() const { return shares_lines_with == item; }
    // Where the overall bar stands once the item is written or skipped.
    int bar_end() const { return kind == ItemKind::flash_region ? verify.to : write.to; }
};

// The instrument's eight items.
std::span<const ItemRow> item_table();

// The row of an item in a table; nullptr when the table has none.
const ItemRow* item_row(std::span<const ItemRow> table, WorkItem item);

// "factory bitstream"; the name of the instrument's table.
const char* work_item_name(WorkItem item);

// The revision the embedded set carries for the row; empty when it has none.
std::string available_revision(const ItemRow& row);
