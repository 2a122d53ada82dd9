#include "cli/cli_options.h"

#include <CLI/CLI.hpp>
#include <map>

namespace {

constexpr const char* PROGRAM_VERSION = "1.3.0.0";

const std::map<std::string, CliCommand> COMMANDS = {
    {"list", CliCommand::list},     {"verify", CliCommand::verify},
    {"program", CliCommand::program}, {"halt", CliCommand::halt},
    {"power-cycle", CliCommand::power_cycle},
};

}  // namespace

std::optional<int> cli_parse(int argc, char** argv, CliOptions& options) {
    CLI::App app{
        "Ombrix Firmware Upgrade Utility: brings an attached Ombrix instrument up to date with "
        "the images this program carries.",
        "ombrix-fwupdate"};
    app.set_version_flag("--version", PROGRAM_VERSION);
    std::string command = "list";
    app.add_option("command", command,
                   "list: the attached instruments\n"
                   "verify: restart the instrument and compare it with the images\n"
                   "program: restart it, compare, and rewrite what is out of date\n"
                   "halt: halt the instrument's FPGA\n"
                   "power-cycle: power-cycle the instrument")
        ->check(CLI::IsMember({"list", "verify", "program", "halt", "power-cycle"}));
    app.add_option("--device", options.device, "the instrument, as listed (DEVn); default: the first");
    app.add_option("--simulate", options.simulate,
                   "run against a simulated instrument holding outdated (default), current or "
                   "blank contents")
        ->expected(0, 1)
        ->default_str("outdated")
        ->check(CLI::IsMember({"outdated", "current", "blank"}));
    app.add_option("--speed-up", options.speed_up,
                   "how much faster than the real instrument a simulation runs (0: no pacing)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--trace", options.trace_path,
                   "write every USB transfer to this file (pcap, Linux usbmon format)");
    app.add_flag("--json", options.json, "one JSON object per log line, bar move and message");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : EXIT_BAD_USAGE;
    }
    if (options.simulate && options.simulate->empty()) {
        options.simulate = "outdated";
    }
    options.command = COMMANDS.at(command);
    return std::nullopt;
}
