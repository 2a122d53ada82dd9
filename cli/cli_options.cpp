#include "cli/cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

#include "cli/exit_status.h"
#include "sim/simulated_faults.h"

namespace {

const std::map<std::string, CliCommand> COMMANDS = {
    {"list", CliCommand::list},         {"verify", CliCommand::verify},
    {"program", CliCommand::program},   {"recover", CliCommand::recover},
    {"halt", CliCommand::halt},
    {"power-cycle", CliCommand::power_cycle}, {"versions", CliCommand::versions},
};

// Long options, and whether each takes a value in the next word.
const std::map<std::string, bool> LONG_OPTIONS = {
    {"--device", true}, {"--port", true},       {"--simulate", false}, {"--speed-up", true}, {"--trace", true},
    {"--instruments", true}, {"--fault", true},
    {"--json", false},  {"--yes", false},      {"--quiet", false},   {"--verbose", false},
    {"--help", false},  {"--version", false},
};
const std::vector<std::string> SHORT_OPTIONS = {"-y", "-q", "-v", "-h"};

constexpr const char* EXIT_STATUS_HELP =
    "Exit status: 0 done or already current, 1 a failure during the run, 2 bad usage (or\n"
    "program or recover without a terminal and without --yes), 3 no instrument, not found or access\n"
    "denied, 4 verify found items out of date, 130 stopped by a signal.";

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

template <typename Names>
std::string nearest(const std::string& word, const Names& names) {
    std::string best;
    std::size_t best_distance = 3;  // more than two edits away is no suggestion
    for (const auto& entry : names) {
        const std::string& name = entry.first;
        const std::size_t distance = edit_distance(word, name);
        if (distance < best_distance) {
            best_distance = distance;
            best = name;
        }
    }
    return best;
}

std::string suggestion(const std::string& near) {
    return near.empty() ? "" : " (did you mean " + near + "?)";
}

bool looks_like_number(const std::string& word) {
    char* end = nullptr;
    std::strtod(word.c_str(), &end);
    return end != word.c_str() && *end == '\0';
}

// Options CLI11 would misread: a misspelt one would make its value the command.
std::string unknown_option(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") {
            return "";
        }
        if (word.rfind("--", 0) == 0) {
            const std::string name = word.substr(0, word.find('='));
            const auto known = LONG_OPTIONS.find(name);
            if (known == LONG_OPTIONS.end()) {
                return "unknown option " + name + suggestion(nearest(name, LONG_OPTIONS));
            }
            if (known->second && name == word) {
                ++i;  // its value, whatever it looks like
            }
        } else if (word.size() > 1 && word[0] == '-' && !looks_like_number(word) &&
                   std::find(SHORT_OPTIONS.begin(), SHORT_OPTIONS.end(), word) ==
                       SHORT_OPTIONS.end()) {
            return "unknown option " + word;
        }
    }
    return "";
}

// --speed-up takes a finite number of 0 or more.
std::string speed_up_error(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
        return "--speed-up: \"" + text + "\" is not a number";
    }
    if (value < 0) {
        return "--speed-up: " + text + " is less than 0 (0 runs the simulation without pacing)";
    }
    return "";
}

bool is_instrument_name(const std::string& word) {
    return word.size() > 3 && (word[0] == 'D' || word[0] == 'd') && (word[1] == 'E' || word[1] == 'e') &&
           (word[2] == 'V' || word[2] == 'v') &&
           std::all_of(word.begin() + 3, word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

ParseResult usage_error(std::string text, bool json) {
    return {false, EXIT_USAGE, std::move(text), json};
}

// ---- the simulation's options ----

constexpr int MAX_SIMULATED_INSTRUMENTS = 16;

// --instruments takes a whole number from 1 to MAX_SIMULATED_INSTRUMENTS.
std::string instruments_error(const std::string& text, int& value) {
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || *end != '\0') {
        return "--instruments: \"" + text + "\" is not a whole number";
    }
    if (number < 1 || number > MAX_SIMULATED_INSTRUMENTS) {
        return "--instruments: " + text + " is not from 1 to " + std::to_string(MAX_SIMULATED_INSTRUMENTS);
    }
    value = static_cast<int>(number);
    return "";
}

std::string fault_names() {
    std::string names;
    for (const sim::NamedFault& fault : sim::named_faults()) {
        names += (names.empty() ? "" : ", ") + std::string(fault.name);
    }
    return names;
}

std::string fault_error(const std::string& text, std::string& value) {
    const sim::NamedFault* fault = sim::find_named_fault(text);
    if (fault == nullptr) {
        return "--fault: \"" + text + "\" is not one of " + fault_names();
    }
    value = fault->name;
    return "";
}

std::string fault_help() {
    std::string help = "with --simulate: DEV1 runs with this fault:";
    for (const sim::NamedFault& fault : sim::named_faults()) {
        help += "\n" + std::string(fault.name) + ": " + fault.description;
    }
    return help;
}

// Both need --simulate; an error, or "" with the options set.
std::string simulation_error(const std::optional<std::string>& instruments,
                             const std::optional<std::string>& fault, CliOptions& options) {
    if ((instruments || fault) && !options.simulate) {
        return std::string(instruments ? "--instruments" : "--fault") +
               " applies only to simulated instruments (add --simulate)";
    }
    if (instruments) {
        if (std::string error = instruments_error(*instruments, options.instruments); !error.empty()) {
            return error;
        }
    }
    return fault ? fault_error(*fault, options.fault) : "";
}

}  // namespace

ParseResult cli_parse(int argc, char** argv, CliOptions& options) {
    const bool json_asked = std::any_of(argv + 1, argv + argc, [](const char* word) {
        return std::string(word) == "--json";
    });
    if (std::string unknown = unknown_option(argc, argv); !unknown.empty()) {
        return usage_error(unknown + "; see --help", json_asked);
    }

    CLI::App app{
        "Ombrix Firmware Upgrade Utility: brings an attached Ombrix instrument up to date with "
        "the images this program carries.",
        "ombrix-fwupdate"};
    app.set_version_flag("--version", PROGRAM_VERSION);
    app.footer(EXIT_STATUS_HELP);
    app.add_option("command", options.command_name,
                   "list: the attached instruments (name, port, serial number, USB firmware)\n"
                   "verify: restart the instrument and compare it with the images\n"
                   "program: restart it, compare, and rewrite what is out of date\n"
                   "recover: load the firmware into a bare USB controller (an instrument whose\n"
                   "  USB firmware write was interrupted), then program it\n"
                   "halt: halt the instrument's FPGA\n"
                   "power-cycle: power-cycle the instrument\n"
                   "versions: the revisions of the images this program carries");
    app.add_option("--device", options.device,
                   "the instrument, as listed (DEVn, any case); default: the first");
    app.add_option("--port", options.port,
                   "recover: the bare USB controller, by the port list shows; may be left out "
                   "when exactly one is attached");
    app.add_option("--simulate", options.simulate,
                   "run against a simulated instrument holding outdated (default), current or "
                   "blank contents, or one whose USB controller has no firmware (bare)")
        ->expected(0, 1)
        ->default_str("outdated");
    std::optional<std::string> speed_up;
    app.add_option("--speed-up", speed_up,
                   "with --simulate: how much faster than the real instrument the simulation runs "
                   "(default 4; 0: no pacing)");
    std::optional<std::string> instruments;
    app.add_option("--instruments", instruments,
                   "with --simulate: how many instruments, DEV1 to DEVn, each with its own port and "
                   "serial number (1 to " + std::to_string(MAX_SIMULATED_INSTRUMENTS) + "; default 1)")
        ->type_name("N");
    std::optional<std::string> fault;
    app.add_option("--fault", fault, fault_help())->type_name("KIND");
    std::optional<std::string> trace;
    app.add_option("--trace", trace, "write every USB transfer to this file (pcap, Linux usbmon format)");
    app.add_flag("--json", options.json, "JSON records, one per line (schema in the man page)");
    app.add_flag("-y,--yes", options.yes, "program without asking");
    app.add_flag("-q,--quiet", options.quiet, "print only the result");
    app.add_flag("-v,--verbose", options.verbose, "also print each USB request");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return {false, app.exit(help), "", false};
    } catch (const CLI::CallForVersion& version) {
        return {false, app.exit(version), "", false};
    } catch (const CLI::ExtrasError&) {
        // A second word where one command was expected: often an instrument's name.
        const std::vector<std::string> extras = app.remaining();
        const std::string extra = extras.empty() ? "" : extras.front();
        return usage_error("unexpected argument \"" + extra + "\" after the command" +
                               (is_instrument_name(extra) ? "; name the instrument with --device " + extra
                                                          : "; see --help"),
                           json_asked);
    } catch (const CLI::ParseError& error) {
        return usage_error(std::string(error.what()) + "; see --help", json_asked);
    }

    const auto command = COMMANDS.find(options.command_name);
    if (command == COMMANDS.end()) {
        return usage_error("unknown command \"" + options.command_name +
                               "\"; the commands are list, verify, program, recover, halt, "
                               "power-cycle and versions" +
                               suggestion(nearest(options.command_name, COMMANDS)),
                           json_asked);
    }
    options.command = command->second;
    if (options.simulate && options.simulate->empty()) {
        options.simulate = "outdated";
    }
    if (options.simulate && *options.simulate != "outdated" && *options.simulate != "current" &&
        *options.simulate != "blank" && *options.simulate != "bare") {
        return usage_error("--simulate: \"" + *options.simulate +
                               "\" is not one of outdated, current, blank, bare",
                           json_asked);
    }
    if (!options.port.empty() && options.command != CliCommand::recover) {
        return usage_error("--port names a bare USB controller for recover; name an instrument "
                               "with --device",
                           json_asked);
    }
    if (speed_up) {
        if (!options.simulate) {
            return usage_error("--speed-up applies only to a simulated instrument (add --simulate)",
                               json_asked);
        }
        if (std::string error = speed_up_error(*speed_up, options.speed_up); !error.empty()) {
            return usage_error(error, json_asked);
        }
    }
    if (std::string error = simulation_error(instruments, fault, options); !error.empty()) {
        return usage_error(error, json_asked);
    }
    if (trace) {
        if (trace->empty()) {
            return usage_error("--trace needs a file name", json_asked);
        }
        options.trace_path = *trace;
    }
    if (options.quiet && options.verbose) {
        return usage_error("--quiet and --verbose ask for opposite things; give one", json_asked);
    }
    return {};
}
