#include "cli/cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "cli/exit_status.h"
#include "sim/simulated_faults.h"

namespace {

const std::map<std::string, CliCommand> COMMANDS = {
    {"list", CliCommand::list},         {"verify", CliCommand::verify},
    {"program", CliCommand::program},   {"recover", CliCommand::recover},
    {"halt", CliCommand::halt},         {"power-cycle", CliCommand::power_cycle},
    {"versions", CliCommand::versions}, {"help", CliCommand::help},
    {"history", CliCommand::history},
};

// The commands a mistyped word may be taken for: only those that leave the
// instrument as it is.
const std::map<std::string, CliCommand> SUGGESTED_COMMANDS = {
    {"list", CliCommand::list}, {"versions", CliCommand::versions}, {"help", CliCommand::help},
    {"history", CliCommand::history}};

constexpr unsigned command_bit(CliCommand command) {
    return 1U << static_cast<unsigned>(command);
}

constexpr unsigned NAMING_COMMANDS = command_bit(CliCommand::verify) | command_bit(CliCommand::program) |
                                     command_bit(CliCommand::halt) |
                                     command_bit(CliCommand::power_cycle);
constexpr unsigned USB_COMMANDS =
    NAMING_COMMANDS | command_bit(CliCommand::list) | command_bit(CliCommand::recover);
constexpr unsigned OUTPUT_COMMANDS = USB_COMMANDS | command_bit(CliCommand::versions);
// The runs that the history records, and the command that reads it.
constexpr unsigned RECORDED_COMMANDS = command_bit(CliCommand::verify) | command_bit(CliCommand::program) |
                                       command_bit(CliCommand::recover);
constexpr unsigned HISTORY = command_bit(CliCommand::history);

enum class OptionValue { none, required, optional_after_equals };

// Every option: how it takes a value and the commands that use it.
struct OptionRule {
    const char* name;
    OptionValue value;
    unsigned commands;
};

const std::vector<OptionRule> OPTION_RULES = {
    {"--device", OptionValue::required, NAMING_COMMANDS},
    {"--serial", OptionValue::required, NAMING_COMMANDS | HISTORY},
    {"--port", OptionValue::required, NAMING_COMMANDS | command_bit(CliCommand::recover)},
    {"--simulate", OptionValue::optional_after_equals, USB_COMMANDS},
    {"--speed-up", OptionValue::required, USB_COMMANDS},
    {"--instruments", OptionValue::required, USB_COMMANDS},
    {"--fault", OptionValue::required, USB_COMMANDS},
    {"--trace", OptionValue::required, USB_COMMANDS},
    {"--verbose", OptionValue::none, USB_COMMANDS},
    {"--all", OptionValue::none, command_bit(CliCommand::verify) | command_bit(CliCommand::program)},
    {"--yes", OptionValue::none, command_bit(CliCommand::program) | command_bit(CliCommand::recover)},
    {"--json", OptionValue::none, OUTPUT_COMMANDS | HISTORY},
    {"--quiet", OptionValue::none, OUTPUT_COMMANDS},
    {"--history", OptionValue::required, RECORDED_COMMANDS | HISTORY},
    {"--no-history", OptionValue::none, RECORDED_COMMANDS},
    {"--last", OptionValue::required, HISTORY},
    {"--csv", OptionValue::none, HISTORY},
    {"--help", OptionValue::none, ~0U},
    {"--version", OptionValue::none, ~0U},
};
const std::map<std::string, std::string> SHORT_OPTIONS = {
    {"-y", "--yes"}, {"-q", "--quiet"}, {"-v", "--verbose"}, {"-h", "--help"}};

const char* const SIMULATED_KINDS[] = {"outdated", "current", "blank", "bare"};

constexpr const char* EXIT_STATUS_HELP =
    "Exit status: 0 done or already current, 1 a failure during the run (or a file or the output\n"
    "could not be written), 2 bad usage (or program or recover without a terminal and without\n"
    "--yes), 3 no instrument, not found or access denied, 4 verify found items out of date,\n"
    "128 + the signal's number when stopped by one (130 SIGINT, 143 SIGTERM, 129 SIGHUP).";

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
    for (const auto& name : names) {
        const std::size_t distance = edit_distance(word, name);
        if (distance < best_distance) {
            best_distance = distance;
            best = name;
        }
    }
    return best;
}

std::vector<std::string> option_names() {
    std::vector<std::string> names;
    for (const OptionRule& rule : OPTION_RULES) {
        names.push_back(rule.name);
    }
    return names;
}

std::vector<std::string> suggested_command_names() {
    std::vector<std::string> names;
    for (const auto& entry : SUGGESTED_COMMANDS) {
        names.push_back(entry.first);
    }
    return names;
}

std::string suggestion(const std::string& near) {
    return near.empty() ? "" : " (did you mean " + near + "?)";
}

bool looks_like_number(const std::string& word) {
    char* end = nullptr;
    std::strtod(word.c_str(), &end);
    return end != word.c_str() && *end == '\0';
}

std::string lower_case(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

const OptionRule* option_rule(const std::string& name) {
    const auto found = std::find_if(OPTION_RULES.begin(), OPTION_RULES.end(),
                                    [&](const OptionRule& rule) { return name == rule.name; });
    return found == OPTION_RULES.end() ? nullptr : &*found;
}

const char* value_name(const std::string& option) {
    static const std::map<std::string, const char*> NAMES = {
        {"--device", "NAME"}, {"--serial", "SERIAL"}, {"--port", "PORT"},
        {"--speed-up", "FACTOR"}, {"--trace", "FILE"}, {"--instruments", "N"}, {"--fault", "KIND"},
        {"--history", "FILE"}, {"--last", "N"}};
    const auto found = NAMES.find(option);
    return found == NAMES.end() ? "VALUE" : found->second;
}

// What the words say before the parser reads them: the options spelt right,
// each value present, no value option given twice, and the command word.
struct WordCheck {
    std::string error;
    std::string command;
    std::map<std::string, int> seen;  // long option name -> times given
};

std::string check_long_option(const std::string& word, int argc, char** argv, int& i,
                              std::map<std::string, int>& seen) {
    const std::size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    const OptionRule* rule = option_rule(name);
    if (rule == nullptr) {
        return "unknown option " + name + suggestion(nearest(name, option_names()));
    }
    const bool value_given = equals != std::string::npos;
    if (++seen[name] > 1 && rule->value != OptionValue::none) {
        return std::string(name) + " is given twice; give it once";
    }
    switch (rule->value) {
        case OptionValue::none:
            return value_given ? std::string(name) + " takes no value" : "";
        case OptionValue::optional_after_equals:
            return value_given && word.size() == equals + 1
                       ? std::string(name) + "= needs a kind after the '=': outdated, current, blank or bare"
                       : "";
        case OptionValue::required:
            if (value_given) {
                return "";
            }
            if (i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0) {
                return std::string(name) + " needs a value: " + name + " " + value_name(name);
            }
            ++i;  // its value, whatever it looks like
            return "";
    }
    return "";
}

WordCheck check_words(int argc, char** argv) {
    WordCheck check;
    for (int i = 1; i < argc && check.error.empty(); ++i) {
        const std::string word = argv[i];
        if (word == "--") {
            break;
        }
        if (word.rfind("--", 0) == 0) {
            check.error = check_long_option(word, argc, argv, i, check.seen);
        } else if (word.size() > 1 && word[0] == '-' && !looks_like_number(word)) {
            const auto known = SHORT_OPTIONS.find(word);
            if (known == SHORT_OPTIONS.end()) {
                check.error = "unknown option " + word;
            } else {
                ++check.seen[known->second];
            }
        } else if (check.command.empty() && COMMANDS.count(word) != 0) {
            check.command = word;
        }
    }
    return check;
}

// --speed-up takes 0 (no pacing) or a factor within the range.
std::string speed_up_error(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
        return "--speed-up: \"" + text + "\" is not a number";
    }
    if (value != 0 && (value < SPEED_UP_MIN || value > SPEED_UP_MAX)) {
        char range[96];
        std::snprintf(range, sizeof range, "%g to %g, or 0 to run without pacing", SPEED_UP_MIN,
                      SPEED_UP_MAX);
        return "--speed-up: " + text + " is outside " + range;
    }
    return "";
}

bool is_instrument_name(const std::string& word) {
    return word.size() > 3 && (word[0] == 'D' || word[0] == 'd') && (word[1] == 'E' || word[1] == 'e') &&
           (word[2] == 'V' || word[2] == 'v') &&
           std::all_of(word.begin() + 3, word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An option given to a command that has no use for it is refused: a script
// that asks for a trace of versions should hear that it gets none.
std::string unused_option(const std::map<std::string, int>& seen, CliCommand command,
                          const std::string& command_name) {
    for (const OptionRule& rule : OPTION_RULES) {
        if (seen.count(rule.name) != 0 && (rule.commands & command_bit(command)) == 0) {
            return command_name + " does not use " + rule.name;
        }
    }
    return "";
}

std::string instrument_choice_error(const CliOptions& options) {
    const int named = (options.device.empty() ? 0 : 1) + (options.serial.empty() ? 0 : 1) +
                      (options.port.empty() ? 0 : 1);
    if (named > 1) {
        return "--device, --serial and --port each name the instrument; give one of them";
    }
    return "";
}

// An empty or blank name would otherwise mean "no name given": a script whose
// variable is empty must not reach whichever instrument is attached.
std::string empty_name_error(const std::map<std::string, int>& seen, const CliOptions& options) {
    const std::pair<const char*, const std::string*> names[] = {
        {"--device", &options.device}, {"--serial", &options.serial}, {"--port", &options.port}};
    for (const auto& [option, value] : names) {
        if (seen.count(option) != 0 && blank(*value)) {
            return std::string(option) + " is empty; give " + option + " " + value_name(option);
        }
    }
    return "";
}

// --all takes every attached instrument, each in a process of its own.
std::string all_error(const CliOptions& options) {
    if (!options.all) {
        return "";
    }
    if (options.names_instrument()) {
        return "--all takes every attached instrument; give it without --device, --serial or --port";
    }
    if (!options.trace_path.empty() || options.verbose) {
        return std::string(options.verbose ? "--verbose" : "--trace") +
               " follows one instrument; name it instead of giving --all";
    }
    return "";
}

std::string simulate_error(CliOptions& options) {
    if (!options.simulate) {
        return "";
    }
    options.simulate = options.simulate->empty() ? "outdated" : lower_case(*options.simulate);
    for (const char* kind : SIMULATED_KINDS) {
        if (*options.simulate == kind) {
            return "";
        }
    }
    return "--simulate: \"" + *options.simulate + "\" is not one of outdated, current, blank, bare";
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

// The values the parser reads as text, checked afterwards.
struct TextValues {
    std::optional<std::string> speed_up;
    std::optional<std::string> trace;
    std::optional<std::string> instruments;
    std::optional<std::string> fault;
    std::optional<std::string> history;
    std::optional<std::string> last;
};

void add_options(CLI::App& app, CliOptions& options, TextValues& values) {
    app.add_option("command", options.command_name,
                   "list: the attached instruments (name, port, serial number, USB firmware)\n"
                   "verify: restart the instrument and compare it with the images\n"
                   "program: restart it, compare, and rewrite what is out of date\n"
                   "recover: load the firmware into a bare USB controller (an instrument whose\n"
                   "  USB firmware write was interrupted), then program it\n"
                   "halt: halt the instrument's FPGA\n"
                   "power-cycle: power-cycle the instrument\n"
                   "versions: the revisions of the images this program carries\n"
                   "history: the last runs of verify, program and recover, newest last\n"
                   "help: this text")
        ->type_name("COMMAND");
    app.add_option("--device", options.device,
                   "the instrument, by its list name (DEVn, any case); needed when more than one "
                   "is attached")
        ->type_name("NAME");
    app.add_option("--serial", options.serial,
                   "the instrument, by its USB serial number; for history, only its runs (any case)")
        ->type_name("SERIAL");
    app.add_option("--port", options.port,
                   "the instrument, or for recover the bare USB controller, by the port list "
                   "shows")
        ->type_name("PORT");
    app.add_option("--simulate", options.simulate,
                   "run against a simulated instrument holding outdated (default), current or "
                   "blank contents, or one whose USB controller has no firmware (bare); any case")
        ->expected(0, 1)
        ->type_name("[=KIND]")
        ->default_str("outdated");
    app.add_option("--speed-up", values.speed_up,
                   "with --simulate: how much faster than the real instrument the simulation runs "
                   "(0.1 to 1000, default 4; 0: no pacing)")
        ->type_name("FACTOR");
    app.add_option("--instruments", values.instruments,
                   "with --simulate: how many instruments, DEV1 to DEVn, each with its own port and "
                   "serial number (1 to " + std::to_string(MAX_SIMULATED_INSTRUMENTS) + "; default 1)")
        ->type_name("N");
    app.add_option("--fault", values.fault, fault_help())->type_name("KIND");
    app.add_option("--trace", values.trace, "write every USB transfer to this file (pcap, Linux usbmon format)")
        ->type_name("FILE");
    app.add_flag("--all", options.all,
                 "verify or program every attached instrument at once, one process each (1 to " +
                     std::to_string(ALL_INSTRUMENTS_MAX) + ")");
    app.add_flag("--json", options.json, "JSON records, one per line (schema in the man page)");
    app.add_option("--history", values.history,
                   "the run history file that verify, program and recover append to and history reads "
                   "(default: $XDG_STATE_HOME/ombrix-fwupdate/history.jsonl)")
        ->type_name("FILE");
    app.add_flag("--no-history", options.no_history, "verify, program or recover without a history line");
    app.add_option("--last", values.last, "history: how many runs, the newest (default 20)")->type_name("N");
    app.add_flag("--csv", options.csv, "history: CSV, a header row then one row per run");
    app.add_flag("-y,--yes", options.yes, "program or recover without asking");
    app.add_flag("-q,--quiet", options.quiet, "print only the result");
    app.add_flag("-v,--verbose", options.verbose, "also print each USB request");
}

// ---- the history's options ----

// --last takes a whole number from 1 up.
std::string last_error(const std::string& text, int& value) {
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || *end != '\0') {
        return "--last: \"" + text + "\" is not a whole number";
    }
    if (number < 1 || number > INT_MAX || errno == ERANGE) {
        return "--last: " + text + " is not from 1 to " + std::to_string(INT_MAX);
    }
    value = static_cast<int>(number);
    return "";
}

std::string history_error(const TextValues& values, CliOptions& options) {
    if (values.history) {
        if (values.history->empty()) {
            return "--history needs a file name";
        }
        if (options.no_history) {
            return "--history and --no-history ask for opposite things; give one";
        }
        options.history_path = *values.history;
    }
    if (options.json && options.csv) {
        return "--json and --csv ask for two forms of the same output; give one";
    }
    return values.last ? last_error(*values.last, options.last) : "";
}

ParseResult usage_error(std::string text, bool json, std::string command) {
    return {false, EXIT_USAGE, std::move(text), json, std::move(command)};
}

// The words the parser reads as the settings they give, checked together.
std::string settings_error(const WordCheck& words, CliOptions& options, const TextValues& values) {
    const std::optional<std::string>& speed_up = values.speed_up;
    const std::optional<std::string>& trace = values.trace;
    if (std::string error = unused_option(words.seen, options.command, options.command_name);
        !error.empty()) {
        return error;
    }
    if (std::string error = empty_name_error(words.seen, options); !error.empty()) {
        return error;
    }
    if (std::string error = instrument_choice_error(options); !error.empty()) {
        return error;
    }
    if (std::string error = simulate_error(options); !error.empty()) {
        return error;
    }
    if (speed_up) {
        if (!options.simulate) {
            return "--speed-up applies only to a simulated instrument (add --simulate)";
        }
        if (std::string error = speed_up_error(*speed_up, options.speed_up); !error.empty()) {
            return error;
        }
    }
    if (std::string error = simulation_error(values.instruments, values.fault, options); !error.empty()) {
        return error;
    }
    if (trace) {
        if (trace->empty()) {
            return "--trace needs a file name";
        }
        options.trace_path = *trace;
    }
    if (std::string error = all_error(options); !error.empty()) {
        return error;
    }
    if (options.quiet && options.verbose) {
        return "--quiet and --verbose ask for opposite things; give one";
    }
    return history_error(values, options);
}

}  // namespace

ParseResult cli_parse(int argc, char** argv, CliOptions& options) {
    options.program_path = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    const WordCheck words = check_words(argc, argv);
    const bool json_asked = words.seen.count("--json") != 0;
    if (!words.error.empty()) {
        return usage_error(words.error + "; see --help", json_asked, words.command);
    }

    CLI::App app{
        "Ombrix Firmware Upgrade Utility: brings an attached Ombrix instrument up to date with "
        "the images this program carries.",
        "ombrix-fwupdate"};
    app.set_version_flag("--version", PROGRAM_VERSION);
    app.footer(EXIT_STATUS_HELP);
    TextValues values;
    add_options(app, options, values);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return {false, app.exit(help), "", false, ""};
    } catch (const CLI::CallForVersion& version) {
        return {false, app.exit(version), "", false, ""};
    } catch (const CLI::ExtrasError&) {
        // A second word where one command was expected: often an instrument's name.
        const std::vector<std::string> extras = app.remaining();
        const std::string extra = extras.empty() ? "" : extras.front();
        return usage_error("unexpected argument \"" + extra + "\" after the command" +
                               (is_instrument_name(extra) ? "; name the instrument with --device " + extra
                                                          : "; see --help"),
                           json_asked, words.command);
    } catch (const CLI::ParseError&) {
        // The words were checked above; what is left the parser words for itself.
        return usage_error("the arguments could not be read; see --help", json_asked, words.command);
    }

    const auto command = COMMANDS.find(options.command_name);
    if (command == COMMANDS.end()) {
        return usage_error("unknown command \"" + options.command_name +
                               "\"; the commands are list, verify, program, recover, halt, "
                               "power-cycle, versions, history and help" +
                               suggestion(nearest(options.command_name, suggested_command_names())),
                           json_asked, "");
    }
    options.command = command->second;
    if (options.command == CliCommand::help) {
        std::fputs(app.help().c_str(), stdout);
        return {false, EXIT_DONE, "", false, options.command_name};
    }
    if (std::string error = settings_error(words, options, values); !error.empty()) {
        return usage_error(error, json_asked, options.command_name);
    }
    return {};
}
