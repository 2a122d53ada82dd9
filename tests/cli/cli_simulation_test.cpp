// The command-line program's simulation options, run as a process: several
// simulated instruments on one bus, and each named fault ending verify and
// program with the exit status the help promises. Each run has a deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/program_run.h"

namespace {

using nlohmann::json;

ProgramRun run(const std::vector<std::string>& arguments) {
    ProgramRunOptions options;
    options.deadline = std::chrono::seconds(60);
    return run_program(OMBRIX_CLI_PATH, arguments, options);
}

// The records of one type in a --json run's output.
std::vector<json> records_of_type(const ProgramRun& run, const std::string& type) {
    std::vector<json> found;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        const json record = json::parse(line, nullptr, /*allow_exceptions=*/false);
        if (record.is_object() && record.value("type", "") == type) {
            found.push_back(record);
        }
    }
    return found;
}

// The items the run's result record names failed, in the table's order.
std::vector<std::string> failed_items(const ProgramRun& run) {
    std::vector<std::string> failed;
    const std::vector<json> results = records_of_type(run, "result");
    if (results.empty() || !results.back().contains("items")) {
        return failed;
    }
    for (const json& item : results.back()["items"]) {
        if (item.value("state", "") == "failed") {
            failed.push_back(item.value("item", ""));
        }
    }
    return failed;
}

TEST(CommandLineSimulation, ThreeInstrumentsAreListedWithTheirOwnNamesPortsAndSerials) {
    const ProgramRun listed =
        run({"list", "--simulate", "--instruments", "3", "--speed-up", "0", "--json"});

    ASSERT_EQ(listed.exit_code, 0) << described(listed);
    const std::vector<json> instruments = records_of_type(listed, "instrument");
    ASSERT_EQ(instruments.size(), 3U) << described(listed);
    std::set<std::string> ports;
    std::set<std::string> serials;
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        EXPECT_EQ(instruments[i].value("name", ""), "DEV" + std::to_string(i + 1)) << described(listed);
        ports.insert(instruments[i].value("port", ""));
        serials.insert(instruments[i].value("serial", ""));
    }
    EXPECT_EQ(ports.size(), 3U) << described(listed);
    EXPECT_EQ(serials, (std::set<std::string>{"OX00000001", "OX00000002", "OX00000003"}))
        << described(listed);
}

TEST(CommandLineSimulation, VerifyOfTheSecondInstrumentReportsIt) {
    const ProgramRun verified = run({"verify", "--simulate", "--instruments", "2", "--device", "DEV2",
                                     "--speed-up", "0", "--json"});

    EXPECT_EQ(verified.exit_code, 4) << described(verified);
    const std::vector<json> instruments = records_of_type(verified, "instrument");
    ASSERT_EQ(instruments.size(), 1U) << described(verified);
    EXPECT_EQ(instruments[0].value("name", ""), "DEV2") << described(verified);
    EXPECT_EQ(instruments[0].value("serial", ""), "OX00000002") << described(verified);
}

TEST(CommandLineSimulation, TheFaultStaysWithTheFirstInstrument) {
    const ProgramRun second = run({"verify", "--simulate", "--instruments", "2", "--fault", "no-return",
                                   "--device", "DEV2", "--speed-up", "0"});
    EXPECT_EQ(second.exit_code, 4) << described(second);

    const ProgramRun first = run({"verify", "--simulate", "--instruments", "2", "--fault", "no-return",
                                  "--device", "DEV1", "--speed-up", "0"});
    EXPECT_EQ(first.exit_code, 1) << described(first);
}

// ---- each fault kind, as the help and the man page describe it ----

struct FaultCase {
    std::string kind;  // as given on the command line, in any case
    int verify_status;
    int program_status;
    std::vector<std::string> program_failed;  // the items program ends with as failed
};

void PrintTo(const FaultCase& fault, std::ostream* out) {
    *out << fault.kind;
}

class CommandLineFault : public testing::TestWithParam<FaultCase> {};

TEST_P(CommandLineFault, VerifyAndProgramEndWithTheDocumentedStatus) {
    const FaultCase& fault = GetParam();

    const ProgramRun verified =
        run({"verify", "--simulate", "--fault", fault.kind, "--speed-up", "0", "--json"});
    EXPECT_EQ(verified.exit_code, fault.verify_status) << described(verified);

    const ProgramRun programmed =
        run({"program", "--yes", "--simulate", "--fault", fault.kind, "--speed-up", "0", "--json"});
    EXPECT_EQ(programmed.exit_code, fault.program_status) << described(programmed);
    EXPECT_EQ(failed_items(programmed), fault.program_failed) << described(programmed);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, CommandLineFault,
    testing::Values(FaultCase{"access-denied", 3, 3, {}},
                    FaultCase{"No-Return", 1, 1, {}},
                    FaultCase{"no-reply", 4, 1, {"bitstream"}},
                    FaultCase{"mismatch", 4, 1, {"firmware"}},
                    FaultCase{"power-loss", 4, 1, {"usb_firmware"}}),
    [](const testing::TestParamInfo<FaultCase>& fault) {
        std::string name;
        for (const char c : fault.param.kind) {
            name += c == '-' ? '_' : c;
        }
        return name;
    });

// The kinds the help lists under --fault, one "  kind: description" line each.
std::vector<std::string> kinds_in_help(const std::string& help) {
    std::vector<std::string> kinds;
    const std::size_t start = help.find("--fault KIND");
    if (start == std::string::npos) {
        return kinds;
    }
    const std::size_t end = help.find("\n  -", start);
    std::istringstream lines(help.substr(start, end - start));
    const std::regex kind_line(" {20,}([a-z-]+): .+");
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, match, kind_line)) {
            kinds.push_back(match[1]);
        }
    }
    return kinds;
}

TEST(CommandLineFaultKinds, TheHelpAndTheManPageListTheKindsTheProgramTakes) {
    const ProgramRun help = run({"--help"});
    ASSERT_EQ(help.exit_code, 0) << described(help);
    const std::vector<std::string> kinds = kinds_in_help(help.out);
    // A kind added to the program needs its case in EveryKind above.
    EXPECT_EQ(kinds, (std::vector<std::string>{"access-denied", "no-return", "no-reply", "mismatch",
                                               "power-loss"}))
        << described(help);

    std::ifstream man_file(OMBRIX_MAN_PAGE);
    const std::string man_page((std::istreambuf_iterator<char>(man_file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(man_page.empty()) << OMBRIX_MAN_PAGE;
    for (std::string kind : kinds) {
        const ProgramRun listed = run({"list", "--simulate", "--fault", kind, "--speed-up", "0"});
        EXPECT_NE(listed.exit_code, 2) << described(listed);
        // The man page escapes each '-' of a name.
        kind = std::regex_replace(kind, std::regex("-"), "\\-");
        EXPECT_TRUE(contains(man_page, ".B " + kind + "\n")) << kind;
    }
}

// ---- usage errors ----

struct UsageCase {
    std::vector<std::string> arguments;
    std::string message;  // a part of what standard error says
};

void PrintTo(const UsageCase& usage, std::ostream* out) {
    for (const std::string& argument : usage.arguments) {
        *out << argument << ' ';
    }
}

class CommandLineSimulationUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(CommandLineSimulationUsage, EndsWithStatus2AndSaysWhy) {
    std::vector<std::string> arguments = {"list"};
    arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const ProgramRun refused = run(arguments);

    EXPECT_EQ(refused.exit_code, 2) << described(refused);
    EXPECT_TRUE(contains(refused.err, GetParam().message)) << described(refused);
    EXPECT_EQ(refused.out, "") << described(refused);
}

INSTANTIATE_TEST_SUITE_P(
    BadArguments, CommandLineSimulationUsage,
    testing::Values(
        UsageCase{{"--instruments", "2"}, "--instruments applies only to simulated instruments"},
        UsageCase{{"--fault", "mismatch"}, "--fault applies only to simulated instruments"},
        UsageCase{{"--simulate", "--instruments", "0"}, "--instruments: 0 is not from 1 to 16"},
        UsageCase{{"--simulate", "--instruments", "17"}, "--instruments: 17 is not from 1 to 16"},
        UsageCase{{"--simulate", "--instruments", "two"}, "\"two\" is not a whole number"},
        UsageCase{{"--simulate", "--fault", "unplugged"},
                  "\"unplugged\" is not one of access-denied, no-return, no-reply, mismatch, power-loss"}));

}  // namespace
