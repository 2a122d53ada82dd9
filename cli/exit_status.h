#pragma once
// The command-line program's exit statuses, as --help, the man page and the
// README list them.
#include "sequence/run_outcome.h"

constexpr int EXIT_DONE = 0;           // done, or the instrument was already current
constexpr int EXIT_RUN_FAILED = 1;     // a failure during the run (or the images did not load)
constexpr int EXIT_USAGE = 2;          // bad arguments, or program without a terminal or --yes
constexpr int EXIT_NO_INSTRUMENT = 3;  // no instrument, the one named not found, access denied
constexpr int EXIT_OUT_OF_DATE = 4;    // verify found items out of date
constexpr int EXIT_INTERRUPTED = 130;  // stopped by SIGINT, SIGTERM or SIGHUP

// The version of the --json record schema; raised only when a record loses or
// changes a field, or a stream's meaning changes (new fields and record types
// keep it). 2: a stream of --all carries several instruments' records, each
// tagged with its instrument, and one result for them all.
constexpr int JSON_SCHEMA_VERSION = 2;

// A verify, program or recover run's status, from how the worker says it ended.
int run_exit_status(bool verify, const RunOutcome& outcome);
