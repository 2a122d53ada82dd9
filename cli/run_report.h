#pragma once
// What a verify or program run found and did, item by item: the table that
// ends the run and the items of the JSON result record. Fed by the worker's
// item reports, on the worker's thread; read once the worker has ended.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "sequence/item_report.h"
#include "sequence/run_outcome.h"

struct ReportRow {
    WorkItem item = WorkItem::firmware;
    ItemState state = ItemState::not_checked;
    std::string installed;  // as the instrument reported it; empty when it does not
    bool installed_unreadable = false;  // reported, but not as text (an erased supply's 0xFF bytes)
    std::string available;  // of the embedded set; empty when the item has no revision
    // What the check found, before anything was written: its state (not
    // checked when no check reported) and the revision the instrument then
    // reported as text (empty when none, or none that is text).
    ItemState found = ItemState::not_checked;
    std::string found_installed;
};

// The width the table is laid out for where it goes to no terminal.
constexpr int TABLE_DEFAULT_COLUMNS = 80;

class RunReport {
public:
    RunReport();

    void record(const ItemEvent& event);

    // With the embedded set's revisions as available.
    std::array<ReportRow, WORK_ITEM_COUNT> rows() const;

    // The aligned table for a terminal `columns` wide: a header, then one
    // line per item; narrower than the table's widest line, a header of two
    // lines and two lines per item, the revisions on the second.
    std::string table_text(int columns = TABLE_DEFAULT_COLUMNS) const;
    // [{"item":...,"state":...,"installed":...,"available":...}, ...]
    std::string json_items() const;

private:
    std::array<ReportRow, WORK_ITEM_COUNT> rows_;
    RunOutcome followed_;  // the states, as the worker keeps them
};

// A name as a JSON value takes it: lower case, words joined by '_'.
std::string json_identifier(const char* name);
// Printable ASCII only: a device's stray bytes as '?'.
std::string printable(const std::string& text);
// A revision as the instrument reported it, or nullopt when any of its bytes
// is not printable ASCII (it is then no revision at all).
std::optional<std::string> readable_revision(const std::string& reported);
// The table's word for a revision the instrument reported but that is not text.
constexpr const char* UNREADABLE_REVISION = "unreadable";
