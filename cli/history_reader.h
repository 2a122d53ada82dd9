#pragma once
// The run history read back: each run from its begin and end lines, in the
// order the runs first appear in the file. The file may be damaged (a line
// torn by a full disk or a killed writer, foreign text, lines that are not
// the history's own): whatever is whole is read, each damaged line skipped
// and counted. One line at a time is held, at most HISTORY_LINE_LIMIT bytes.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct RecordedItem {
    std::string item;    // "usb_firmware"
    std::string before;  // "needs_update"
    std::optional<std::string> revision_before;
    std::string after;   // "updated"
    std::optional<std::string> revision_after;
};

struct RecordedRun {
    std::string run_id;
    std::string time;  // when it began
    std::string command;
    std::optional<std::string> program_version;
    std::optional<std::string> host;
    std::optional<std::string> instrument;
    std::optional<std::string> serial;
    std::optional<std::string> port;
    bool ended = false;  // an end line was read; without it, the fields below are not known
    std::string end_time;
    std::string result;
    int exit_status = 0;
    bool interrupted = false;
    std::vector<RecordedItem> items;

    // The items rewritten and read back.
    int items_changed() const;
};

// What a begin without its end shows as its result: never a success.
constexpr const char* NO_END_RECORDED = "no end recorded";

struct HistoryContents {
    bool missing = false;  // no file: an empty history
    std::string error;     // the file could not be read; "" when it could
    std::vector<RecordedRun> runs;
    int damaged_lines = 0;
    long long first_damaged_line = 0;  // counted from 1; 0 when none
};

// The last `last` runs of the file, newest last; with serial, only the runs
// of the instrument with that USB serial number (any case).
HistoryContents read_history(const std::string& path, std::size_t last, const std::string& serial = "");
