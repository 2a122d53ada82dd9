#pragma once
// verify --all and program --all: every attached instrument at once, each in a
// child process of its own that opens only its instrument's port. The parent
// draws one line per instrument, passes a stop on to every child, and ends
// with one table (or one result record) of them all.
#include <functional>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/instrument_listing.h"
#include "cli/run_end.h"
#include "cli/terminal_port.h"

// Asks once before writing; EXIT_DONE to go ahead, else the status to end with.
using ConfirmWriting = std::function<int(const std::string& what)>;

// The instruments of the last device_list_refresh, each run by a child.
// Returns the exit status of them all: 0 when each ended done or current,
// else the worst of 1, 3 and 4 in that order, or the signal's status when a
// stop was asked for. The result record's instruments go into end.
int run_all_instruments(const CliOptions& options, const std::vector<ListedInstrument>& instruments,
                        TerminalPort& port, RunEnd& end, const ConfirmWriting& confirm);

// Each child's arguments after the program's path: the command, its port,
// JSON output, and the options that reach every run.
std::vector<std::string> child_arguments(const CliOptions& options, const std::string& port);

// The exit status of a run of several instruments from theirs (see above);
int combined_exit_status(const std::vector<int>& statuses);

// "updated", "up to date", "out of date", "failed", "not found or denied",
// "interrupted" or "refused", from a child's exit status and what it changed
// (the words of the run history).
std::string instrument_result_word(int exit_status, int items_changed, bool verify);
