#pragma once
// What the command line asks for.
#include <optional>
#include <string>

enum class CliCommand { list, verify, program, recover, halt, power_cycle, versions };

struct CliOptions {
    CliCommand command = CliCommand::list;
    std::string command_name = "list";
    std::string device;                   // "DEVn", any case; empty: the first listed
    std::string port;                     // recover: the bare controller's port, as list shows it
    std::optional<std::string> simulate;  // "outdated", "current", "blank" or "bare"
    double speed_up = 4.0;                // how much faster than the instrument a simulation runs
    int instruments = 1;                  // with simulate: DEV1 to DEVn on the one bus
    std::string fault;                    // with simulate: a named fault of DEV1, lower case; empty: none
    std::string trace_path;               // pcap trace of every transfer; empty: none
    bool json = false;
    bool yes = false;      // program without asking
    bool quiet = false;    // only the result
    bool verbose = false;  // every USB request summarised
};

struct ParseResult {
    bool run = true;       // false: end with exit_code (help, version, bad usage)
    int exit_code = 0;
    std::string error;     // the usage error, when there is one
    bool json = false;     // --json was among the arguments, even when they were bad
};

ParseResult cli_parse(int argc, char** argv, CliOptions& options);

constexpr const char* PROGRAM_VERSION = "1.3.0.0";
