// The run history: the lines verify, program and recover append as a run
// begins and ends, the history command that shows them (table, JSON, CSV),
// a damaged file read up to what is whole, a file that cannot be written
// stopping the run before the instrument, and sixteen processes appending to
// one file at once. Each program run has a deadline.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/history.h"
#include "support/program_run.h"

namespace {

using nlohmann::json;

ProgramRun run(const std::vector<std::string>& arguments, const ProgramRunOptions& options = {}) {
    return run_program(OMBRIX_CLI_PATH, arguments, options);
}

// A file of the test's own directory.
std::string file_in_test_directory(const std::string& name) {
    return test_state_directory() + "/" + name;
}

std::string default_history() {
    return test_state_directory() + "/ombrix-fwupdate/history.jsonl";
}

std::string contents_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void append_to(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

// Each line of the file as JSON; a line that is not JSON is a discarded value.
std::vector<json> history_lines(const std::string& path) {
    std::vector<json> lines;
    for (const std::string& line : lines_of(contents_of(path))) {
        lines.push_back(json::parse(line, nullptr, /*allow_exceptions=*/false));
    }
    return lines;
}

std::vector<json> records_of(const ProgramRun& ran, const std::string& type) {
    std::vector<json> records;
    for (const std::string& line : lines_of(ran.out)) {
        const json record = json::parse(line, nullptr, false);
        if (record.is_object() && record.value("type", "") == type) {
            records.push_back(record);
        }
    }
    return records;
}

const json& item_of(const json& line, const std::string& item) {
    static const json none;
    for (const json& entry : line["items"]) {
        if (entry.value("item", "") == item) {
            return entry;
        }
    }
    return none;
}

// RFC 4180 rows: fields split at commas outside quotes, "" inside quotes one ".
std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            rows.back().push_back(field);
            field.clear();
        } else if (!quoted && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(field);
            field.clear();
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    if (rows.back().empty()) {
        rows.pop_back();
    }
    return rows;
}

const std::vector<std::string> SIMULATED = {"--simulate", "--speed-up", "0"};

std::vector<std::string> with(std::vector<std::string> arguments, const std::vector<std::string>& more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

// ---- the lines a run writes, and the three forms history shows them in ----

TEST(CommandLineHistory, ProgramWritesABeginAndAnEndThatHistoryShows) {
    const ProgramRun programmed = run(with({"program", "--yes"}, SIMULATED));
    ASSERT_EQ(programmed.exit_code, 0) << described(programmed);

    const std::vector<json> lines = history_lines(default_history());
    ASSERT_EQ(lines.size(), 2U) << contents_of(default_history());
    const json& begin = lines[0];
    const json& end = lines[1];
    EXPECT_EQ(begin.value("type", ""), "begin");
    EXPECT_EQ(end.value("type", ""), "end");
    EXPECT_EQ(begin.value("run_id", "a"), end.value("run_id", "b"));
    EXPECT_TRUE(std::regex_match(begin.value("time", ""), std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z")))
        << begin;
    EXPECT_EQ(begin.value("time", ""), end.value("start_time", ""));
    EXPECT_GE(end.value("end_time", ""), end.value("start_time", ""));
    for (const json* line : {&begin, &end}) {
        EXPECT_EQ(line->value("command", ""), "program");
        EXPECT_EQ(line->value("instrument", ""), "DEV1");
        EXPECT_EQ(line->value("serial", ""), "OX00000001");
        EXPECT_EQ(line->value("program_version", ""), "1.3.0.0");
        EXPECT_FALSE(line->value("host", "").empty());
        EXPECT_TRUE(line->value("port", "") == "usb:1-1") << *line;
    }
    // The simulated instrument holds an older set: each item from out of date to updated.
    ASSERT_EQ(end["items"].size(), 8U) << end;
    const json& usb = item_of(end, "usb_firmware");
    EXPECT_EQ(usb.value("before", ""), "needs_update") << usb;
    EXPECT_EQ(usb.value("revision_before", ""), "1.37") << usb;
    EXPECT_EQ(usb.value("after", ""), "updated") << usb;
    EXPECT_EQ(usb.value("revision_after", ""), "1.38") << usb;
    EXPECT_EQ(item_of(end, "bitstream").value("revision_after", ""), "37994");
    EXPECT_EQ(end.value("result", ""), "updated");
    EXPECT_EQ(end.value("exit_status", -1), 0);
    EXPECT_FALSE(end.value("interrupted", true));
    EXPECT_EQ(history_schema_problems(default_history()), "");

    const ProgramRun table = run({"history"});
    EXPECT_EQ(table.exit_code, 0) << described(table);
    EXPECT_EQ(table.err, "");
    EXPECT_TRUE(std::regex_search(table.out, std::regex("^TIME +INSTRUMENT +SERIAL +PORT +COMMAND +RESULT +CHANGED +EXIT\n")))
        << described(table);
    EXPECT_TRUE(std::regex_search(table.out, std::regex(begin.value("time", "") +
                                                        "  DEV1 +OX00000001 +\\S+ +program +updated +8 +0\n")))
        << described(table);

    const ProgramRun as_json = run({"history", "--json"});
    EXPECT_EQ(as_json.exit_code, 0) << described(as_json);
    const std::vector<json> runs = records_of(as_json, "run");
    ASSERT_EQ(runs.size(), 1U) << described(as_json);
    EXPECT_EQ(runs[0].value("run_id", ""), begin.value("run_id", "-"));
    EXPECT_EQ(runs[0].value("result", ""), "updated");
    EXPECT_EQ(runs[0].value("items_changed", -1), 8);
    EXPECT_EQ(item_of(runs[0], "usb_firmware").value("revision_before", ""), "1.37");
    EXPECT_EQ(records_of(as_json, "result").at(0).value("command", ""), "history");

    const ProgramRun as_csv = run({"history", "--csv"});
    EXPECT_EQ(as_csv.exit_code, 0) << described(as_csv);
    const auto rows = csv_rows(as_csv.out);
    ASSERT_EQ(rows.size(), 2U) << described(as_csv);
    EXPECT_EQ(rows[0].at(0), "time");
    ASSERT_EQ(rows[1].size(), rows[0].size()) << described(as_csv);
    std::map<std::string, std::string> row;
    for (std::size_t i = 0; i < rows[0].size(); ++i) {
        row[rows[0][i]] = rows[1][i];
    }
    EXPECT_EQ(row["instrument"], "DEV1");
    EXPECT_EQ(row["serial"], "OX00000001");
    EXPECT_EQ(row["result"], "updated");
    EXPECT_EQ(row["items_changed"], "8");
    EXPECT_EQ(row["exit_status"], "0");
    EXPECT_EQ(row["run_id"], begin.value("run_id", "-"));
}

TEST(CommandLineHistory, LastAndSerialChooseTheRunsNewestLast) {
    const std::string history = file_in_test_directory("line/history.jsonl");
    const std::vector<std::string> two = {"--simulate", "--instruments", "2", "--speed-up", "0", "--history", history};
    EXPECT_EQ(run(with({"verify", "--device", "DEV2"}, two)).exit_code, 4);
    EXPECT_EQ(run(with({"program", "--yes", "--device", "DEV1"}, two)).exit_code, 0);
    EXPECT_EQ(run({"verify", "--device", "DEV2", "--no-history", "--simulate", "--instruments", "2", "--speed-up", "0"})
                  .exit_code,
              4);
    EXPECT_EQ(run(with({"verify", "--serial", "ox00000001"}, two)).exit_code, 4);

    const ProgramRun all = run({"history", "--history", history, "--json"});
    const std::vector<json> runs = records_of(all, "run");
    ASSERT_EQ(runs.size(), 3U) << described(all);  // --no-history wrote none
    EXPECT_EQ(runs[0].value("serial", ""), "OX00000002");
    EXPECT_EQ(runs[0].value("result", ""), "out of date");
    EXPECT_EQ(runs[0].value("exit_status", -1), 4);
    EXPECT_EQ(runs[1].value("command", ""), "program");

    const ProgramRun last = run({"history", "--history", history, "--last", "2"});
    const std::vector<std::string> shown = lines_of(last.out);
    ASSERT_EQ(shown.size(), 3U) << described(last);
    EXPECT_TRUE(contains(shown[1], "program")) << described(last);
    EXPECT_TRUE(std::regex_search(shown[2], std::regex("DEV1 +OX00000001 .* verify +out of date +0 +4$")))
        << described(last);

    const ProgramRun second = run({"history", "--history", history, "--serial", "ox00000002", "--csv"});
    const auto rows = csv_rows(second.out);
    ASSERT_EQ(rows.size(), 2U) << described(second);
    EXPECT_EQ(rows[1].at(3), "OX00000002");
    // Quoted as RFC 4180 has it, where a field holds a comma or a quote.
    append_to(history, "{\"type\":\"begin\",\"run_id\":\"q\",\"time\":\"2026-01-01T00:00:00Z\",\"command\":"
                       "\"verify\",\"serial\":\"Q,\\\"1\\\"\"}\n");
    const ProgramRun quoted = run({"history", "--history", history, "--serial", "q,\"1\"", "--csv"});
    EXPECT_TRUE(contains(quoted.out, "\r\n2026-01-01T00:00:00Z,,,\"Q,\"\"1\"\"\",,verify,no end recorded,")) << described(quoted);
    EXPECT_EQ(csv_rows(quoted.out).at(1).at(3), "Q,\"1\"") << described(quoted);

    const ProgramRun none = run({"history", "--history", history, "--serial", "OX00000009"});
    EXPECT_EQ(none.exit_code, 0) << described(none);
    EXPECT_EQ(none.out, "No runs of serial OX00000009 recorded in " + history + ".\n");

    const ProgramRun missing = run({"history", "--history", file_in_test_directory("none.jsonl")});
    EXPECT_EQ(missing.exit_code, 0) << described(missing);
    EXPECT_EQ(missing.out, "No runs recorded in " + file_in_test_directory("none.jsonl") + ".\n");
    EXPECT_EQ(run({"history", "--last", "0"}).exit_code, 2);
    EXPECT_EQ(run({"history", "--json", "--csv"}).exit_code, 2);
    EXPECT_EQ(run({"history", "--no-history"}).exit_code, 2);
    EXPECT_EQ(run({"list", "--simulate", "--history", history}).exit_code, 2);
    EXPECT_EQ(run(with({"verify", "--no-history", "--history", history}, SIMULATED)).exit_code, 2);
}

// ---- runs that end early ----

// A paced run sent the first signal as it begins writing to the instrument,
// and the next once it has acknowledged the first (a second one ends it at once).
ProgramRun stopped_run(const std::string& history, const std::vector<int>& signals) {
    ProgramRunOptions options;
    std::size_t sent = 0;
    options.on_output = [&](pid_t pid, const std::string& output) {
        const bool due = sent == 0 ? contains(output, "keep it connected and powered until the end")
                                   : contains(output, "interrupt again");
        if (sent < signals.size() && due) {
            kill(pid, signals[sent++]);
        }
    };
    return run({"program", "--yes", "--simulate", "--speed-up", "8", "--history", history}, options);
}

TEST(CommandLineHistory, ARunKilledBeforeItsEndShowsNoEndRecorded) {
    const std::string history = file_in_test_directory("history.jsonl");
    const ProgramRun killed = stopped_run(history, {SIGKILL});
    EXPECT_EQ(killed.signal, SIGKILL) << described(killed);
    const ProgramRun interrupted = stopped_run(history, {SIGINT});
    EXPECT_EQ(interrupted.exit_code, 130) << described(interrupted);
    // The second signal ends it at once: no end line it did not earn.
    const ProgramRun ended_at_once = stopped_run(history, {SIGINT, SIGINT});
    EXPECT_EQ(ended_at_once.exit_code, 130) << described(ended_at_once);

    std::vector<std::string> types;
    for (const json& line : history_lines(history)) {
        types.push_back(line.value("type", "?"));
    }
    EXPECT_EQ(types, (std::vector<std::string>{"begin", "begin", "end", "begin"})) << contents_of(history);

    const ProgramRun as_json = run({"history", "--history", history, "--json"});
    const std::vector<json> runs = records_of(as_json, "run");
    ASSERT_EQ(runs.size(), 3U) << described(as_json);
    EXPECT_EQ(runs[0].value("result", ""), "no end recorded");
    EXPECT_TRUE(runs[0]["exit_status"].is_null()) << runs[0];
    EXPECT_TRUE(runs[0]["end_time"].is_null()) << runs[0];
    EXPECT_EQ(runs[1].value("result", ""), "interrupted");
    EXPECT_EQ(runs[1].value("exit_status", -1), 130);
    EXPECT_TRUE(runs[1].value("interrupted", false));
    EXPECT_EQ(runs[2].value("result", ""), "no end recorded");

    const ProgramRun table = run({"history", "--history", history});
    EXPECT_EQ(std::regex_search(table.out, std::regex("program +no end recorded +- +-\n")), true)
        << described(table);
    EXPECT_FALSE(contains(table.out, "updated")) << described(table);
}

// ---- a damaged file ----

TEST(CommandLineHistory, ADamagedFileIsReadUpToWhatIsWhole) {
    const std::string history = file_in_test_directory("damaged.jsonl");
    ASSERT_EQ(run(with({"verify", "--history", history}, SIMULATED)).exit_code, 4);  // lines 1 and 2
    append_to(history, "Some foreign text\n"                             // 3
                       "{\"type\":\"result\",\"exit_status\":0}\n"       // 4: JSON, but no begin or end
                       + std::string(9000, 'x') + "\n");                 // 5: overlong
    ASSERT_EQ(run({"verify", "--simulate=current", "--speed-up", "0", "--history", history}).exit_code, 0);
    const std::string torn = lines_of(contents_of(history)).back();
    append_to(history, torn.substr(0, torn.size() / 2));  // 8: torn, without its newline

    const ProgramRun read = run({"history", "--history", history});
    EXPECT_EQ(read.exit_code, 0) << described(read);
    EXPECT_EQ(read.err, "warning: " + history + ": 4 damaged lines skipped (the first: line 3); the whole "
                                                "lines are shown\n")
        << described(read);
    EXPECT_EQ(lines_of(read.out).size(), 3U) << described(read);
    EXPECT_TRUE(std::regex_search(read.out, std::regex("verify +out of date +0 +4\n"))) << described(read);
    EXPECT_TRUE(std::regex_search(read.out, std::regex("verify +up to date +0 +0\n"))) << described(read);

    const ProgramRun as_json = run({"history", "--history", history, "--json"});
    EXPECT_EQ(records_of(as_json, "run").size(), 2U) << described(as_json);
    ASSERT_EQ(records_of(as_json, "message").size(), 1U) << described(as_json);
    EXPECT_EQ(records_of(as_json, "message")[0].value("severity", ""), "warning");

    // The next run's lines begin on a line of their own: the torn one stays the only loss.
    ASSERT_EQ(run(with({"program", "--yes", "--history", history}, SIMULATED)).exit_code, 0);
    const ProgramRun after = run({"history", "--history", history, "--json"});
    const std::vector<json> runs = records_of(after, "run");
    ASSERT_EQ(runs.size(), 3U) << described(after);
    EXPECT_EQ(runs[2].value("result", ""), "updated");
    EXPECT_TRUE(contains(after.err, "4 damaged lines")) << described(after);
}

// ---- a history that cannot be written ----

TEST(CommandLineHistory, AHistoryThatCannotBeWrittenLeavesTheInstrumentAlone) {
    const std::string blocking_file = file_in_test_directory("a-file");
    append_to(blocking_file, "");
    const std::string unwritable = blocking_file + "/history.jsonl";
    for (const std::string& path : {unwritable, std::string("/dev/full")}) {
        const ProgramRun refused = run(with({"program", "--yes", "--history", path}, SIMULATED));
        EXPECT_EQ(refused.exit_code, 1) << described(refused);
        EXPECT_TRUE(contains(refused.err, "error: Cannot write the history file " + path + ": "))
            << described(refused);
        EXPECT_TRUE(contains(refused.err, "nothing was done to the instrument")) << described(refused);
        EXPECT_FALSE(contains(refused.out, "Restarting the instrument")) << described(refused);
        EXPECT_FALSE(contains(refused.out, "ITEM")) << described(refused);
    }
    EXPECT_TRUE(contains(run(with({"verify", "--history", "/dev/full"}, SIMULATED)).err, "No space left on device"));

    // A script reads it from the records too; the instrument was never restarted.
    const ProgramRun as_json = run(with({"program", "--yes", "--json", "--history", unwritable}, SIMULATED));
    EXPECT_EQ(as_json.exit_code, 1) << described(as_json);
    const std::vector<json> messages = records_of(as_json, "message");
    ASSERT_EQ(messages.size(), 1U) << described(as_json);
    EXPECT_TRUE(contains(messages[0].value("text", ""), "Cannot write the history file")) << messages[0];
    EXPECT_TRUE(records_of(as_json, "log").empty()) << described(as_json);
    EXPECT_TRUE(records_of(as_json, "item").empty()) << described(as_json);
    EXPECT_EQ(records_of(as_json, "result").at(0).value("exit_status", -1), 1);

    // The default place made unusable the same way: --no-history still runs.
    ProgramRunOptions blocked;
    blocked.environment = {"XDG_STATE_HOME=" + blocking_file};
    EXPECT_EQ(run(with({"program", "--yes"}, SIMULATED), blocked).exit_code, 1);
    EXPECT_EQ(run(with({"program", "--yes", "--no-history"}, SIMULATED), blocked).exit_code, 0);

    // A file size limit that the begin line fits and the end line does not
    // (dash counts 512-byte blocks): the run itself went well, its status is 1.
    const std::string limited = file_in_test_directory("limited.jsonl");
    const ProgramRun cut = run_program(
        "/bin/sh", {"-c", "ulimit -f 1 && exec \"$0\" \"$@\"", OMBRIX_CLI_PATH, "program", "--yes", "--json",
                    "--simulate", "--speed-up", "0", "--history", limited});
    EXPECT_EQ(cut.exit_code, 1) << described(cut);
    EXPECT_TRUE(contains(cut.err, "error: Cannot write the history file " + limited + ": only ")) << described(cut);
    EXPECT_EQ(records_of(cut, "result").at(0).value("exit_status", -1), 1) << described(cut);
    EXPECT_TRUE(contains(cut.out, "\"severity\":\"error\",\"text\":\"Cannot write the history file")) << described(cut);
    EXPECT_TRUE(contains(cut.out, "All the internal firmwares are up to date.")) << described(cut);
    const ProgramRun shown = run({"history", "--history", limited});
    EXPECT_TRUE(std::regex_search(shown.out, std::regex("program +no end recorded +- +-\n"))) << described(shown);
    EXPECT_TRUE(contains(shown.err, "1 damaged line skipped (the first: line 2)")) << described(shown);

    // Without XDG_STATE_HOME, the history is kept under the home.
    ProgramRunOptions home;
    home.environment = {"XDG_STATE_HOME=", "HOME=" + file_in_test_directory("home")};
    EXPECT_EQ(run(with({"verify"}, SIMULATED), home).exit_code, 4);
    EXPECT_EQ(history_lines(file_in_test_directory("home/.local/state/ombrix-fwupdate/history.jsonl")).size(), 2U);
}

// ---- many processes, one file ----

constexpr int WRITERS = 16;
constexpr int RUNS_PER_WRITER = 1000;

CliOptions program_options(const std::string& history) {
    CliOptions options;
    options.command = CliCommand::program;
    options.command_name = "program";
    options.history_path = history;
    return options;
}

// In a writer process: its runs' lines, through the history's own append.
// 0 when every line was written.
int append_runs(const std::string& history, int writer) {
    RunReport report;
    report.record({WorkItem::usb_firmware, ItemPhase::check, ItemOutcome::needs_update, "1.37"});
    report.record({WorkItem::bitstream, ItemPhase::check, ItemOutcome::needs_update, {}});
    report.record({WorkItem::bitstream, ItemPhase::verify, ItemOutcome::success, {}});
    // A port long enough that a line is over a kilobyte: many pages' worth of lines at once.
    const HistoryInstrument instrument{"DEV" + std::to_string(writer), "OX" + std::to_string(writer),
                                       "usb:" + std::to_string(writer) + "-" + std::string(200, 'p')};
    for (int i = 0; i < RUNS_PER_WRITER; ++i) {
        RunHistory run_history(program_options(history));
        if (!run_history.begin(instrument).empty() || !run_history.end(report, 0, false).empty()) {
            return 1;
        }
    }
    return 0;
}

TEST(HistoryAppend, SixteenProcessesAppendingAtOnceLoseAndTearNoLine) {
    const std::string history = file_in_test_directory("shared/history.jsonl");
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> writers;
    for (int writer = 0; writer < WRITERS; ++writer) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(start[1]);
            char go = 0;
            // All begin together, as the parent closes its end.
            _exit(read(start[0], &go, 1) == 0 ? append_runs(history, writer) : 2);
        }
        writers.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer " << pid << " status " << status;
    }

    const std::string text = contents_of(history);
    const std::vector<std::string> lines = lines_of(text);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(2 * WRITERS * RUNS_PER_WRITER));
    EXPECT_EQ(text.back(), '\n');
    std::map<std::string, std::string> seen;  // run id -> its line types in order
    for (const std::string& line : lines) {
        ASSERT_LT(line.size() + 1, HISTORY_LINE_LIMIT);
        const json parsed = json::parse(line, nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << "a torn or mixed line: " << line;
        seen[parsed.value("run_id", "")] += parsed.value("type", "?") + " ";
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(WRITERS * RUNS_PER_WRITER));
    for (const auto& [id, types] : seen) {
        ASSERT_EQ(types, "begin end ") << id;
    }

    // The history command pairs them all.
    const ProgramRun read = run({"history", "--history", history, "--last", "100000", "--csv"});
    EXPECT_EQ(read.err, "") << described(read);
    const auto rows = csv_rows(read.out);
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(WRITERS * RUNS_PER_WRITER + 1));
    EXPECT_FALSE(contains(read.out, "no end recorded"));
}

TEST(HistoryAppend, AnOverlongInstrumentStillGivesAWholeLineBelowTheLimit) {
    const std::string history = file_in_test_directory("long/history.jsonl");
    RunHistory run_history(program_options(history));
    const std::string huge(6000, '"');  // each escaped as two bytes
    ASSERT_EQ(run_history.begin({"DEV1", huge, huge}), "");
    RunReport report;
    for (int item = 0; item < 8; ++item) {
        report.record({static_cast<WorkItem>(item), ItemPhase::check, ItemOutcome::needs_update, huge});
    }
    ASSERT_EQ(run_history.end(report, 4, false), "");

    const std::vector<std::string> lines = lines_of(contents_of(history));
    ASSERT_EQ(lines.size(), 2U);
    for (const std::string& line : lines) {
        EXPECT_LT(line.size() + 1, HISTORY_LINE_LIMIT);
        const json parsed = json::parse(line, nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << line;
        EXPECT_EQ(parsed.value("instrument", ""), "DEV1");
        EXPECT_FALSE(parsed.value("serial", "").empty());
    }
    EXPECT_EQ(history_schema_problems(history), "");
}

}  // namespace
