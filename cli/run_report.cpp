#include "cli/run_report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "cli/json_record.h"
#include "images/images.h"

namespace {

std::string decimal(std::uint32_t value) {
    return std::to_string(value);
}

// A supply script's MFR_DATE: the six characters after its leading record.
std::string script_date(int image_id) {
    const std::span<const std::uint8_t> script = firmware_image(image_id).bytes();
    return script.size() >= 9 ? std::string(script.begin() + 3, script.begin() + 9) : "";
}

std::string available_revision(WorkItem item, const AvailableVersions& versions) {
    switch (item) {
        case WorkItem::firmware:
        case WorkItem::factory_firmware: return decimal(versions.firmware_revision);
        case WorkItem::bitstream:
        case WorkItem::factory_bitstream: return decimal(versions.fpga_revision);
        case WorkItem::configuration_sequence: return "";
        case WorkItem::usb_firmware: return versions.usb_revision;
        case WorkItem::power_supply_a: return printable(script_date(IMAGE_POWER_SUPPLY_A));
        case WorkItem::power_supply_b: return printable(script_date(IMAGE_POWER_SUPPLY_B));
    }
    return "";
}

std::string shown(const std::string& revision) {
    return revision.empty() ? "-" : revision;
}

}  // namespace

RunReport::RunReport() {
    for (int i = 0; i < WORK_ITEM_COUNT; ++i) {
        rows_[static_cast<std::size_t>(i)].item = static_cast<WorkItem>(i);
    }
}

void RunReport::record(const ItemEvent& event) {
    if (event.outcome == ItemOutcome::started) {
        return;
    }
    ItemRow& row = rows_[static_cast<std::size_t>(event.item)];
    if (!event.installed_revision.empty()) {
        row.installed = printable(event.installed_revision);
    }
    if (event.outcome == ItemOutcome::failed) {
        row.state = ItemState::failed;
    } else if (event.phase == ItemPhase::check) {
        row.state = event.outcome == ItemOutcome::up_to_date ? ItemState::up_to_date
                                                             : ItemState::needs_update;
    } else if (event.phase == ItemPhase::verify) {
        // The read-back matched: the instrument now holds what is available.
        row.state = ItemState::updated;
        if (!row.installed.empty()) {
            row.installed = available_revision(row.item, available_versions());
        }
    }
}

bool RunReport::any_checked() const {
    return std::any_of(rows_.begin(), rows_.end(),
                       [](const ItemRow& row) { return row.state != ItemState::not_checked; });
}

bool RunReport::any_state(ItemState state) const {
    return std::any_of(rows_.begin(), rows_.end(),
                       [state](const ItemRow& row) { return row.state == state; });
}

std::array<ItemRow, WORK_ITEM_COUNT> RunReport::rows() const {
    std::array<ItemRow, WORK_ITEM_COUNT> rows = rows_;
    const AvailableVersions versions = available_versions();
    for (ItemRow& row : rows) {
        row.available = available_revision(row.item, versions);
    }
    return rows;
}

std::string RunReport::table_text() const {
    std::string text;
    char line[160];
    std::snprintf(line, sizeof line, "%-24s %-14s %-10s %s\n", "ITEM", "STATE", "INSTALLED",
                  "AVAILABLE");
    text += line;
    for (const ItemRow& row : rows()) {
        std::snprintf(line, sizeof line, "%-24s %-14s %-10s %s\n", work_item_name(row.item),
                      item_state_name(row.state), shown(row.installed).c_str(),
                      shown(row.available).c_str());
        text += line;
    }
    return text;
}

std::string RunReport::json_items() const {
    std::vector<std::string> items;
    for (const ItemRow& row : rows()) {
        std::string object = "{\"item\":" + json_string(json_identifier(work_item_name(row.item))) +
                             ",\"state\":" + json_string(json_identifier(item_state_name(row.state)));
        object += ",\"installed\":" + (row.installed.empty() ? "null" : json_string(row.installed));
        object += ",\"available\":" + (row.available.empty() ? "null" : json_string(row.available));
        items.push_back(object + "}");
    }
    return json_array(items);
}

const char* item_state_name(ItemState state) {
    switch (state) {
        case ItemState::not_checked: return "not checked";
        case ItemState::up_to_date: return "up to date";
        case ItemState::needs_update: return "needs update";
        case ItemState::updated: return "updated";
        case ItemState::failed: return "failed";
    }
    return "";
}

std::string json_identifier(const char* name) {
    std::string out;
    for (const char* c = name; *c != '\0'; ++c) {
        out += *c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    return out;
}

std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            c = '?';
        }
    }
    return out;
}
