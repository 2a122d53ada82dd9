#pragma once
// What the command line asks for.
#include <optional>
#include <string>

enum class CliCommand { list, verify, program, recover, halt, power_cycle, versions, help, history };

struct CliOptions {
    std::string program_path;  // how the program was started (argv[0])
    CliCommand command = CliCommand::list;
    std::string command_name = "list";
    // The instrument: by its list name ("DEVn", any case), its USB serial
    // number or its port; at most one of them. None: the only one attached.
    std::string device;
    std::string serial;
    std::string port;                     // also recover's bare controller
    std::optional<std::string> simulate;  // "outdated", "current", "blank" or "bare"
    double speed_up = 4.0;                // how much faster than the instrument a simulation runs
    int instruments = 1;                  // with simulate: DEV1 to DEVn on the one bus
    std::string fault;                    // with simulate: a named fault of DEV1, lower case; empty: none
    std::string trace_path;               // pcap trace of every transfer; empty: none
    bool all = false;                     // every attached instrument, one child process each
    bool json = false;
    bool yes = false;      // program without asking
    bool quiet = false;    // only the result
    bool verbose = false;  // every USB request summarised
    // The run history: verify, program and recover append to it, history reads it.
    std::string history_path;  // --history FILE; empty: the default place
    bool no_history = false;   // --no-history: none written
    int last = 20;             // history: how many runs, the newest
    bool csv = false;          // history: CSV instead of the table

    bool names_instrument() const { return !device.empty() || !serial.empty() || !port.empty(); }
};

struct ParseResult {
    bool run = true;       // false: end with exit_code (help, version, bad usage)
    int exit_code = 0;
    std::string error;     // the usage error, when there is one
    bool json = false;     // --json was among the arguments, even when they were bad
    std::string command;   // the command word, when it was one of the commands
};

ParseResult cli_parse(int argc, char** argv, CliOptions& options);

// How many instruments --all takes at most: more are refused, not cut short.
constexpr int ALL_INSTRUMENTS_MAX = 16;

// --speed-up's range besides 0 (no pacing).
constexpr double SPEED_UP_MIN = 0.1;
constexpr double SPEED_UP_MAX = 1000.0;

constexpr const char* PROGRAM_VERSION = "1.3.0.0";
