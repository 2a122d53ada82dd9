#pragma once
// The run history on the command line: the begin and end lines of a verify,
// program or recover run, and the history command that shows the last runs.
#include "cli/cli_options.h"
#include "cli/history.h"
#include "cli/run_end.h"
#include "cli/terminal_port.h"

// Before the worker starts on the instrument: the run's begin line. False
// when it could not be written (the reason on standard error, and as a
// message record with --json): nothing may then be done to the instrument.
bool history_begin(TerminalPort& port, const RunEnd& end, const HistoryInstrument& instrument);

// Once the run's exit status is known: the end line of a run that began.
// When it cannot be written, the reason is told as above and an exit status
// of 0 or 4 becomes 1.
void history_end(TerminalPort& port, RunEnd& end);

// The history command: the last runs, newest last, as a table, JSON records
// (--json) or CSV (--csv).
int run_history(const CliOptions& options, TerminalPort& port);
