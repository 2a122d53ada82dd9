#pragma once
// What the command line asks for.
#include <optional>
#include <string>

enum class CliCommand { list, verify, program, halt, power_cycle };

struct CliOptions {
    CliCommand command = CliCommand::list;
    std::string device;               // "DEVn"; empty: the first listed, as the window does
    std::optional<std::string> simulate;  // "outdated", "current" or "blank"
    double speed_up = 4.0;            // how much faster than the instrument a simulation runs
    std::string trace_path;           // pcap trace of every transfer
    bool json = false;
};

constexpr int EXIT_SUCCESS_SUMMARY = 0;
constexpr int EXIT_WARNING_OR_ERROR = 1;
constexpr int EXIT_BAD_USAGE = 2;

// Parses argv; on --help, --version or bad usage prints what it should and
// returns the exit code to end with.
std::optional<int> cli_parse(int argc, char** argv, CliOptions& options);
