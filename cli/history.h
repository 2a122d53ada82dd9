#pragma once
// The run history: a "begin" line as a verify, program or recover run starts
// on its instrument and an "end" line as it ends, JSON, appended to one file
// that every process of a production line (one per instrument) writes at
// once. A begin without its end is a run that was killed in between.
#include <cstddef>
#include <string>
#include <string_view>

#include "cli/cli_options.h"
#include "cli/run_report.h"

// Each line, its newline included, is shorter than this (PIPE_BUF): written
// with one write to a file opened for appending, it lands whole, never torn
// by or interleaved with another process's line.
constexpr std::size_t HISTORY_LINE_LIMIT = 4096;

constexpr int HISTORY_SCHEMA_VERSION = 1;

// The history file, or why there is none.
struct HistoryPath {
    std::string path;
    std::string error;
};
// $XDG_STATE_HOME/ombrix-fwupdate/history.jsonl ($HOME/.local/state/... when
// XDG_STATE_HOME is unset, empty or not absolute); on Windows
// %LOCALAPPDATA%\ombrix-fwupdate\history.jsonl.
HistoryPath default_history_path();
// --history FILE, else the default.
HistoryPath history_path(const CliOptions& options);

// Appends line (one JSON text, without a newline) to the file at path in a
// single write, creating the file and its directories as needed. When the
// file ends in a torn line the line is preceded by a newline, so that it
// stays whole. "" when written; else why not ("Cannot write the history file
// FILE: No space left on device").
std::string history_append(const std::string& path, std::string_view line);

// "2026-12-10T04:30:00Z": now, in UTC.
std::string utc_time_now();

// The instrument a run is on, as the history names it.
struct HistoryInstrument {
    std::string name;    // "DEV7"; empty for recover's bare controller
    std::string serial;  // empty when it has none
    std::string port;
};

// The word for how a run ended: "updated", "up to date", "out of date",
// "interrupted" or "failed".
std::string history_result(int exit_status, bool interrupted, const RunReport& report);

// One run's two lines. Disabled (writing nothing) for --no-history and for
// the commands that keep no history.
class RunHistory {
public:
    explicit RunHistory(const CliOptions& options);

    bool enabled() const { return enabled_; }

    // The begin line, as the run starts on the instrument. "" when written
    // (or disabled); else why not, and nothing may be done to the instrument.
    std::string begin(const HistoryInstrument& instrument);

    // The end line of a run whose begin was written: each item before and
    // after, the result and the exit status. "" when written (or nothing to
    // write); else why not.
    std::string end(const RunReport& report, int exit_status, bool interrupted);

private:
    bool enabled_ = false;
    HistoryPath path_;
    std::string command_;
    std::string run_id_;  // empty until the begin line is written
    std::string start_time_;
    std::string host_;
    HistoryInstrument instrument_;
};
