#include "cli/run_report.h"

#include <algorithm>
#include <cctype>

#include "cli/json_record.h"
#include "images/images.h"

namespace {

std::string shown(const std::string& revision) {
    return revision.empty() ? "-" : revision;
}

// The widest line of the one-line layout: its columns, and "AVAILABLE".
constexpr int WIDE_TABLE_WIDTH = 24 + 1 + 14 + 1 + 10 + 1 + 9;

std::string padded(const std::string& text, std::size_t width) {
    return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

// One item (or the header) as a line of 24, 14 and 10 columns and the
// available revision; narrow, in 22 and 12 columns ("configuration sequence",
// "needs update") and the revisions indented on a second line: 35 columns.
std::string table_line(bool narrow, const std::string& item, const std::string& state,
                       const std::string& installed, const std::string& available) {
    if (narrow) {
        return padded(item, 22) + " " + state + "\n  " + padded(installed, 10) + " " + available + "\n";
    }
    return padded(item, 24) + " " + padded(state, 14) + " " + padded(installed, 10) + " " + available +
           "\n";
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
    followed_.follow(event);
    ReportRow& row = rows_[static_cast<std::size_t>(event.item)];
    row.state = followed_.state(event.item);
    if (!event.installed_revision.empty()) {
        const std::optional<std::string> readable = readable_revision(event.installed_revision);
        row.installed = readable.value_or("");
        row.installed_unreadable = !readable;
    }
    if (event.phase == ItemPhase::check) {
        row.found = row.state;
        row.found_installed = row.installed;
    }
    if (row.state == ItemState::updated && (!row.installed.empty() || row.installed_unreadable)) {
        // The read-back matched: the instrument now holds what is available.
        row.installed = printable(available_revision(*item_row(item_table(), row.item)));
        row.installed_unreadable = false;
    }
}

std::array<ReportRow, WORK_ITEM_COUNT> RunReport::rows() const {
    std::array<ReportRow, WORK_ITEM_COUNT> rows = rows_;
    for (ReportRow& row : rows) {
        row.available = printable(available_revision(*item_row(item_table(), row.item)));
    }
    return rows;
}

std::string RunReport::table_text(int columns) const {
    const bool narrow = columns <= WIDE_TABLE_WIDTH;
    std::string text = table_line(narrow, "ITEM", "STATE", "INSTALLED", "AVAILABLE");
    for (const ReportRow& row : rows()) {
        text += table_line(narrow, work_item_name(row.item), item_state_name(row.state),
                           row.installed_unreadable ? UNREADABLE_REVISION : shown(row.installed),
                           shown(row.available));
    }
    return text;
}

std::string RunReport::json_items() const {
    std::vector<std::string> items;
    for (const ReportRow& row : rows()) {
        std::string object = "{\"item\":" + json_string(json_identifier(work_item_name(row.item))) +
                             ",\"state\":" + json_string(json_identifier(item_state_name(row.state)));
        object += ",\"installed\":" + (row.installed.empty() ? "null" : json_string(row.installed));
        object += ",\"available\":" + (row.available.empty() ? "null" : json_string(row.available));
        items.push_back(object + "}");
    }
    return json_array(items);
}

std::string json_identifier(const char* name) {
    std::string out;
    for (const char* c = name; *c != '\0'; ++c) {
        out += *c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    return out;
}

std::optional<std::string> readable_revision(const std::string& reported) {
    const bool readable = std::all_of(reported.begin(), reported.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
    });
    return readable ? std::optional<std::string>(reported) : std::nullopt;
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
