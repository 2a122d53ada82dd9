#include "cli/history_command.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "cli/exit_status.h"
#include "cli/history_reader.h"
#include "cli/json_record.h"
#include "cli/run_report.h"
#include "cli/stop_signals.h"

namespace {

// A history file that could not be written: on standard error always (a
// production line's log keeps it), and as a message record for a script.
void history_error(TerminalPort& port, const std::string& text) {
    std::fprintf(stderr, "error: %s\n", text.c_str());
    if (port.json()) {
        port.error(text);
    }
}

// ---- the runs as the three forms show them ----

const char* const COLUMNS[] = {"TIME", "INSTRUMENT", "SERIAL", "PORT", "COMMAND", "RESULT", "CHANGED", "EXIT"};
constexpr std::size_t COLUMN_COUNT = std::size(COLUMNS);

std::string shown(const std::optional<std::string>& text) {
    return text && !text->empty() ? printable(*text) : "-";
}

std::vector<std::string> table_cells(const RecordedRun& run) {
    return {printable(run.time),
            shown(run.instrument),
            shown(run.serial),
            shown(run.port),
            run.command,
            printable(run.result),
            run.ended ? std::to_string(run.items_changed()) : "-",
            run.ended ? std::to_string(run.exit_status) : "-"};
}

void add_text_or_null(JsonRecord& record, const char* key, const std::optional<std::string>& text) {
    if (text) {
        record.add(key, *text);
    } else {
        record.add_json(key, "null");
    }
}

std::string text_or_null(const std::optional<std::string>& text) {
    return text ? json_string(*text) : "null";
}

std::string items_json(const RecordedRun& run) {
    std::vector<std::string> items;
    for (const RecordedItem& item : run.items) {
        items.push_back("{\"item\":" + json_string(item.item) + ",\"before\":" + json_string(item.before) +
                        ",\"revision_before\":" + text_or_null(item.revision_before) +
                        ",\"after\":" + json_string(item.after) +
                        ",\"revision_after\":" + text_or_null(item.revision_after) + "}");
    }
    return json_array(items);
}

JsonRecord run_record(const RecordedRun& run) {
    JsonRecord record("run");
    record.add("run_id", run.run_id).add("time", run.time);
    add_text_or_null(record, "end_time", run.ended ? std::optional<std::string>(run.end_time) : std::nullopt);
    add_text_or_null(record, "program_version", run.program_version);
    add_text_or_null(record, "host", run.host);
    record.add("command", run.command);
    add_text_or_null(record, "instrument", run.instrument);
    add_text_or_null(record, "serial", run.serial);
    add_text_or_null(record, "port", run.port);
    record.add("result", run.result);
    if (run.ended) {
        record.add("items_changed", run.items_changed())
            .add("exit_status", run.exit_status)
            .add("interrupted", run.interrupted)
            .add_json("items", items_json(run));
    } else {
        record.add_json("items_changed", "null").add_json("exit_status", "null").add_json("interrupted", "null");
    }
    return record;
}

// RFC 4180: a field with a comma, a quote or a line break quoted, its quotes doubled.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

// A row of fields, ended with CR LF (the LF is the line's own). The history
// writes printable ASCII; whatever else a foreign line holds is no terminal's.
std::string csv_row(const std::vector<std::string>& fields) {
    std::string row;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            row += ',';
        }
        row += csv_field(printable(fields[i]));
    }
    return row + "\r";
}

std::vector<std::string> csv_fields(const RecordedRun& run) {
    const auto or_empty = [](const std::optional<std::string>& text) { return text.value_or(""); };
    return {run.time,
            run.ended ? run.end_time : "",
            or_empty(run.instrument),
            or_empty(run.serial),
            or_empty(run.port),
            run.command,
            run.result,
            run.ended ? std::to_string(run.items_changed()) : "",
            run.ended ? std::to_string(run.exit_status) : "",
            run.ended ? (run.interrupted ? "true" : "false") : "",
            or_empty(run.host),
            or_empty(run.program_version),
            run.run_id};
}

void show_csv(TerminalPort& port, const std::vector<RecordedRun>& runs) {
    port.result(csv_row({"time", "end_time", "instrument", "serial", "port", "command", "result", "items_changed",
                         "exit_status", "interrupted", "host", "program_version", "run_id"}),
                JsonRecord("run"));
    for (const RecordedRun& run : runs) {
        port.result(csv_row(csv_fields(run)), run_record(run));
    }
}

std::string table_line(const std::vector<std::string>& cells, const std::size_t (&widths)[COLUMN_COUNT]) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const bool last = i + 1 == cells.size();
        line += cells[i];
        if (!last) {
            line += std::string(widths[i] - std::min(widths[i], cells[i].size()) + 2, ' ');
        }
    }
    return line;
}

void show_table(TerminalPort& port, const std::vector<RecordedRun>& runs) {
    std::size_t widths[COLUMN_COUNT] = {};
    const std::vector<std::string> header(std::begin(COLUMNS), std::end(COLUMNS));
    std::vector<std::vector<std::string>> rows{header};
    for (const RecordedRun& run : runs) {
        rows.push_back(table_cells(run));
    }
    for (const std::vector<std::string>& row : rows) {
        for (std::size_t i = 0; i < COLUMN_COUNT; ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    port.result(table_line(header, widths), JsonRecord("run"));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        port.result(table_line(rows[i + 1], widths), run_record(runs[i]));
    }
}

void warn_of_damage(TerminalPort& port, const std::string& path, const HistoryContents& contents) {
    const std::string text = path + ": " + std::to_string(contents.damaged_lines) + " damaged line" +
                             (contents.damaged_lines == 1 ? "" : "s") + " skipped (the first: line " +
                             std::to_string(contents.first_damaged_line) + "); the whole lines are shown";
    std::fprintf(stderr, "warning: %s\n", text.c_str());
    if (port.json()) {
        port.message_box(text.c_str(), MessageIcon::warning);
    }
}

}  // namespace

bool history_begin(TerminalPort& port, const RunEnd& end, const HistoryInstrument& instrument) {
    if (end.history == nullptr) {
        return true;
    }
    const std::string error = end.history->begin(instrument);
    if (error.empty()) {
        return true;
    }
    history_error(port, error + "; nothing was done to the instrument");
    return false;
}

void history_end(TerminalPort& port, RunEnd& end) {
    if (end.history == nullptr) {
        return;
    }
    const bool interrupted = stop_signal_exit_status() != 0 && end.exit_code == stop_signal_exit_status();
    const std::string error = end.history->end(end.items.report(), end.exit_code, interrupted);
    if (error.empty()) {
        return;
    }
    history_error(port, error);
    if (end.exit_code == EXIT_DONE || end.exit_code == EXIT_OUT_OF_DATE) {
        end.exit_code = EXIT_RUN_FAILED;
    }
}

int run_history(const CliOptions& options, TerminalPort& port) {
    const HistoryPath path = history_path(options);
    if (!path.error.empty()) {
        port.error(path.error);
        return EXIT_RUN_FAILED;
    }
    const HistoryContents contents =
        read_history(path.path, static_cast<std::size_t>(options.last), options.serial);
    if (!contents.error.empty()) {
        port.error(contents.error);
        return EXIT_RUN_FAILED;
    }
    if (contents.damaged_lines > 0) {
        warn_of_damage(port, path.path, contents);
    }
    if (options.csv) {
        show_csv(port, contents.runs);
    } else if (port.json()) {
        for (const RecordedRun& run : contents.runs) {
            port.result("", run_record(run));
        }
    } else if (contents.runs.empty()) {
        port.result("No runs " + (options.serial.empty() ? "" : "of serial " + options.serial + " ") +
                        "recorded in " + path.path + ".",
                    JsonRecord("run"));
    } else {
        show_table(port, contents.runs);
    }
    return EXIT_DONE;
}
