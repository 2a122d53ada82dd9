#pragma once
// How a run of the command line ends: the table, or with --json the result
// record (always the last one, also after a usage error or a second signal),
// and the exit status once signals and write errors have had their say.
#include <string>

#include "cli/cli_options.h"
#include "cli/exit_status.h"
#include "cli/item_recorder.h"
#include "cli/output_watch.h"
#include "cli/terminal_port.h"

class RunHistory;

// The run's last record (JSON) or nothing more (text, where the table and the
// messages have said it).
struct RunEnd {
    RunEnd(const ItemRecorder& recorded, OutputWatch& watch) : items(recorded), output(watch) {}

    const ItemRecorder& items;  // what the worker found and did, item by item
    int exit_code = EXIT_DONE;
    bool worker_ran = false;
    std::string instrument;
    std::string instruments_json;  // --all: each instrument's entry of the result, a JSON array
    OutputWatch& output;  // whether standard output and the trace get through
    RunHistory* history = nullptr;  // the run's begin and end lines; nullptr: none
};

// With --json: the start record, the first of every run.
void announce_start(TerminalPort& port, const CliOptions& options);

// What a second signal leaves as the last line: the result as it stands, its
// exit status the signal's. Called again whenever the result would change.
void prepare_end_at_once(const TerminalPort& port, const CliOptions& options, const RunEnd& end);

// The item table, or the result record.
void report_end(TerminalPort& port, const CliOptions& options, RunEnd& end);

// A usage error: on standard error, and with --json also as the records a
// script reads. Returns its exit status.
int usage_failure(const ParseResult& parsed);

// The status the run ends with, once a signal or a write error had a say: a
// stop asked for by a signal ends with the signal's status, a write that
// failed with 1, whatever the run found.
int final_exit_status(int run_status, const OutputWatch& output);

// A write that failed, said where it can still be read.
void report_write_failure(TerminalPort& port, const OutputWatch& output);
