#include "cli/run_report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "cli/json_record.h"
#include "images/images.h"

namespace {

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
    followed_.follow(event);
    ReportRow& row = rows_[static_cast<std::size_t>(event.item)];
    row.state = followed_.state(event.item);
    if (!event.installed_revision.empty()) {
        const std::optional<std::string> readable = readable_revision(event.installed_revision);
        row.installed = readable.value_or("");
        row.installed_unreadable = !readable;
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

std::string RunReport::table_text() const {
    std::string text;
    char line[160];
    std::snprintf(line, sizeof line, "%-24s %-14s %-10s %s\n", "ITEM", "STATE", "INSTALLED",
                  "AVAILABLE");
    text += line;
    for (const ReportRow& row : rows()) {
        std::snprintf(line, sizeof line, "%-24s %-14s %-10s %s\n", work_item_name(row.item),
                      item_state_name(row.state),
                      row.installed_unreadable ? UNREADABLE_REVISION : shown(row.installed).c_str(),
                      shown(row.available).c_str());
        text += line;
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
