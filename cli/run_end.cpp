#include "cli/run_end.h"

#include <cerrno>
#include <cstdio>

#include "cli/json_record.h"
#include "cli/stop_signals.h"
#include "cli/terminal_bars.h"


namespace {

// Standard output flushed, its failure told to the watch.
void flush_output(OutputWatch& output) {
    errno = 0;
    if (std::fflush(stdout) != 0) {
        output.output_failed(errno);
    }
}

bool interrupted(int exit_code) {
    return stop_signal_exit_status() != 0 && exit_code == stop_signal_exit_status();
}

JsonRecord result_record(const std::string& command, int exit_code, const RunEnd* end,
                         bool was_interrupted) {
    JsonRecord record("result");
    record.add("schema_version", JSON_SCHEMA_VERSION);
    if (command.empty()) {
        record.add_json("command", "null");
    } else {
        record.add("command", command);
    }
    record.add("exit_status", exit_code).add("interrupted", was_interrupted);
    if (end != nullptr && !end->instrument.empty()) {
        record.add("instrument", end->instrument);
    }
    if (end != nullptr && !end->instruments_json.empty()) {
        record.add_json("instruments", end->instruments_json);
    }
    if (end != nullptr && end->worker_ran) {
        record.add_json("items", end->items.report().json_items());
    }
    return record;
}

JsonRecord start_record(const std::string& command) {
    JsonRecord record("start");
    record.add("schema_version", JSON_SCHEMA_VERSION).add("program_version", PROGRAM_VERSION);
    if (command.empty()) {
        record.add_json("command", "null");
    } else {
        record.add("command", command);
    }
    return record;
}

}  // namespace

void prepare_end_at_once(const TerminalPort& port, const CliOptions& options, const RunEnd& end) {
    if (!port.json()) {
        return;
    }
    const std::string text = result_record(options.command_name, -1, &end, true).text();
    const std::string key = "\"exit_status\":";
    const std::size_t at = text.find(key + "-1");
    if (at != std::string::npos) {
        stop_signals_set_last_line(text.substr(0, at + key.size()), text.substr(at + key.size() + 2));
    }
}

void report_end(TerminalPort& port, const CliOptions& options, RunEnd& end) {
    port.finish();
    if (!port.json()) {
        if (end.worker_ran) {
            const int columns = is_terminal(stdout) ? terminal_columns(stdout) : TABLE_DEFAULT_COLUMNS;
            std::fputs(end.items.report().table_text(columns).c_str(), stdout);
            flush_output(end.output);
        }
        return;
    }
    std::printf("%s\n", result_record(options.command_name, end.exit_code, &end, interrupted(end.exit_code)).text().c_str());
    flush_output(end.output);
}

void announce_start(TerminalPort& port, const CliOptions& options) {
    if (port.json()) {
        std::printf("%s\n", start_record(options.command_name).text().c_str());
    }
}

int usage_failure(const ParseResult& parsed) {
    std::fprintf(stderr, "ombrix-fwupdate: %s\n", parsed.error.c_str());
    if (parsed.json) {
        JsonRecord result("result");
        result.add("schema_version", JSON_SCHEMA_VERSION);
        std::printf("%s\n%s\n%s\n", start_record(parsed.command).text().c_str(),
                    JsonRecord("message").add("severity", "error").add("text", parsed.error).text().c_str(),
                    result_record(parsed.command, parsed.exit_code, nullptr, false).text().c_str());
    }
    return parsed.exit_code;
}

int final_exit_status(int run_status, const OutputWatch& output) {
    if (stop_signal_exit_status() != 0) {
        return stop_signal_exit_status();
    }
    if (!output.failure().empty()) {
        return EXIT_RUN_FAILED;
    }
    return run_status == EXIT_INTERRUPTED ? EXIT_RUN_FAILED : run_status;
}

void report_write_failure(TerminalPort& port, const OutputWatch& output) {
    if (output.failure().empty()) {
        return;
    }
    std::fprintf(stderr, "error: %s\n", output.failure().c_str());
    if (port.json()) {
        port.error(output.failure());
    }
}
