// The command-line program as its users meet it, run as a process against its
// simulated instrument: what each command prints and where, the exit statuses,
// the argument messages, the confirmation, the JSON stream as a script parses
// it, and the display on a terminal. Each run has a deadline.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/program_run.h"

namespace {

using nlohmann::json;

const std::vector<std::string> ITEMS = {"firmware",          "bitstream",
                                        "factory_firmware",  "factory_bitstream",
                                        "configuration_sequence", "usb_firmware",
                                        "power_supply_a",    "power_supply_b"};

ProgramRun run(std::vector<std::string> arguments, ProgramRunOptions options = {}) {
    return run_program(OMBRIX_CLI_PATH, arguments, options);
}

// Every line of standard output parsed on its own; a line that is not JSON fails the case.
std::vector<json> records_of(const ProgramRun& run) {
    std::vector<json> records;
    for (const std::string& line : lines_of(run.out)) {
        const json record = json::parse(line, nullptr, /*allow_exceptions=*/false);
        EXPECT_TRUE(record.is_object() && record.contains("type")) << line;
        records.push_back(record);
    }
    return records;
}

std::vector<json> of_type(const std::vector<json>& records, const std::string& type) {
    std::vector<json> found;
    for (const json& record : records) {
        if (record.value("type", "") == type) {
            found.push_back(record);
        }
    }
    return found;
}

// The schema's rules that hold for every stream: a start record first, a
// result record last, percentages that only rise, messages without "\r".
void expect_well_formed_stream(const std::vector<json>& records, int exit_status,
                               const std::string& described_run) {
    SCOPED_TRACE(described_run);
    ASSERT_GE(records.size(), 2U);
    EXPECT_EQ(records.front().value("type", ""), "start");
    EXPECT_EQ(records.front().value("schema_version", 0), 2);
    EXPECT_EQ(records.back().value("type", ""), "result");
    EXPECT_EQ(records.back().value("schema_version", 0), 2);
    EXPECT_EQ(records.back().value("exit_status", -1), exit_status);
    int percent = 0;
    for (const json& progress : of_type(records, "progress")) {
        EXPECT_GE(progress.value("percent", -1), percent) << progress;
        EXPECT_LE(progress.value("percent", -1), 100) << progress;
        percent = progress.value("percent", -1);
    }
    for (const json& message : of_type(records, "message")) {
        EXPECT_TRUE(message.contains("severity")) << message;
        EXPECT_EQ(message.value("text", "").find('\r'), std::string::npos) << message;
    }
}

// ---- JSON ----

TEST(CommandLineJson, VerifyOfAnOlderInstrumentReportsEveryItemAndEndsWithStatus4) {
    const ProgramRun verified = run({"verify", "--simulate", "--speed-up", "0", "--json"});
    const std::vector<json> records = records_of(verified);

    EXPECT_EQ(verified.exit_code, 4) << described(verified);
    EXPECT_EQ(verified.err, "");
    expect_well_formed_stream(records, 4, described(verified));
    const std::vector<json> instruments = of_type(records, "instrument");
    ASSERT_EQ(instruments.size(), 1U);
    EXPECT_EQ(instruments[0].value("name", ""), "DEV1");
    EXPECT_EQ(instruments[0].value("usb_firmware", ""), "1.37");
    std::vector<std::string> checked;
    for (const json& item : of_type(records, "item")) {
        EXPECT_EQ(item.value("phase", ""), "check") << item;
        EXPECT_EQ(item.value("outcome", ""), "needs_update") << item;
        checked.push_back(item.value("item", ""));
    }
    EXPECT_EQ(checked, ITEMS);
    const json& result = records.back();
    ASSERT_TRUE(result.contains("items"));
    ASSERT_EQ(result["items"].size(), ITEMS.size());
    for (const json& item : result["items"]) {
        EXPECT_EQ(item.value("state", ""), "needs_update") << item;
    }
    EXPECT_EQ(result["items"][5].value("installed", ""), "1.37");
    EXPECT_EQ(result["items"][5].value("available", ""), "1.38");
    EXPECT_EQ(of_type(records, "message").at(0).value("severity", ""), "warning");
}

TEST(CommandLineJson, ProgramRecordsEachPhaseAndEndsWithEveryItemUpdated) {
    const ProgramRun programmed =
        run({"program", "--yes", "--simulate=blank", "--speed-up", "0", "--json"});
    const std::vector<json> records = records_of(programmed);

    EXPECT_EQ(programmed.exit_code, 0) << described(programmed);
    expect_well_formed_stream(records, 0, described(programmed));
    for (const std::string& item : ITEMS) {
        std::vector<std::string> phases;
        for (const json& event : of_type(records, "item")) {
            if (event.value("item", "") == item) {
                phases.push_back(event.value("phase", "") + ":" + event.value("outcome", ""));
            }
        }
        ASSERT_FALSE(phases.empty()) << item;
        EXPECT_EQ(phases.front(), "check:needs_update") << item;
        EXPECT_EQ(phases.back(), "verify:success") << item;
    }
    EXPECT_EQ(of_type(records, "progress").back().value("percent", 0), 100);
    EXPECT_EQ(of_type(records, "notice").size(), 1U);
    // The notice comes before the line of the first erase is complete.
    const auto notice = std::find_if(records.begin(), records.end(), [](const json& record) {
        return record.value("type", "") == "notice";
    });
    const auto first_erase = std::find_if(records.begin(), records.end(), [](const json& record) {
        return record.value("type", "") == "log" && record.value("text", "").rfind("Erasing ", 0) == 0;
    });
    EXPECT_LT(notice - records.begin(), first_erase - records.begin()) << described(programmed);
    for (const json& item : records.back()["items"]) {
        EXPECT_EQ(item.value("state", ""), "updated") << item;
    }
}

TEST(CommandLineJson, UsageAndFileErrorsStillEndWithAResultRecord) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--json", "--speed-up", "abc", "--simulate"},
          std::vector<std::string>{"list", "--json", "--simulate", "--trace", "/no/such/dir/t.pcap"}}) {
        const ProgramRun failed = run(arguments);
        const std::vector<json> records = records_of(failed);
        ASSERT_FALSE(records.empty()) << described(failed);
        EXPECT_EQ(records.back().value("type", ""), "result") << described(failed);
        EXPECT_EQ(records.back().value("exit_status", -1), failed.exit_code) << described(failed);
        EXPECT_NE(failed.exit_code, 0);
    }
}

// ---- text ----

TEST(CommandLine, ListAndVersionsSayWhatIsAttachedAndWhatIsCarried) {
    const ProgramRun listed = run({"list", "--simulate", "--speed-up", "0"});
    EXPECT_EQ(listed.exit_code, 0) << described(listed);
    EXPECT_TRUE(std::regex_match(listed.out, std::regex("DEV1  port \\S+  serial OX00000001  "
                                                       "USB firmware 1\\.37\n")))
        << described(listed);

    const ProgramRun versions = run({"versions"});
    EXPECT_EQ(versions.exit_code, 0) << described(versions);
    for (const char* line : {"FPGA rev:      37994", "Firmware rev:  38322", "USB rev:       1.38",
                             "Power rev A:   250314", "Power rev B:   250611", "Image set:     ",
                             "  configuration sequence   -\n", "  power supply B           250611\n"}) {
        EXPECT_TRUE(contains(versions.out, line)) << line << "\n" << described(versions);
    }
}

TEST(CommandLine, ResultsGoToStandardOutputWarningsToStandardError) {
    const ProgramRun verified = run({"verify", "--simulate", "--speed-up", "0"});

    EXPECT_EQ(verified.exit_code, 4) << described(verified);
    EXPECT_TRUE(contains(verified.out, "Checking bitstream ... needs update")) << described(verified);
    EXPECT_TRUE(std::regex_search(verified.out,
                                  std::regex("USB firmware +needs update +1\\.37 +1\\.38\n")))
        << described(verified);
    EXPECT_TRUE(contains(verified.err, "warning: Some of the internal firmwares do not match"))
        << described(verified);
    EXPECT_FALSE(contains(verified.out, "warning:")) << described(verified);
}

TEST(CommandLine, QuietPrintsOnlyTheResultVerboseEachUsbRequest) {
    const ProgramRun quiet = run({"verify", "--simulate=current", "--speed-up", "0", "-q"});
    EXPECT_EQ(quiet.exit_code, 0) << described(quiet);
    EXPECT_FALSE(contains(quiet.out, "Checking")) << described(quiet);
    EXPECT_TRUE(contains(quiet.out, "All the internal firmwares are up to date.")) << described(quiet);
    EXPECT_TRUE(std::regex_search(quiet.out, std::regex("power supply B +up to date")))
        << described(quiet);

    const ProgramRun verbose = run({"list", "--simulate", "--speed-up", "0", "-v"});
    EXPECT_EQ(verbose.exit_code, 0) << described(verbose);
    // The identification read of the list, as the trace records it.
    EXPECT_TRUE(contains(verbose.out, "usb: control in 0xc0 request 0xb0 value 0x0251 index 0x3000 "
                                      "length 22: 22 bytes"))
        << described(verbose);
}

struct Misuse {
    std::vector<std::string> arguments;
    int exit_code;
    std::string says;  // on standard error
};

TEST(CommandLine, EachMisuseGetsItsOwnStatusAndMessage) {
    const std::vector<Misuse> misuses = {
        {{"--speed-up", "-1", "--simulate"}, 2, "-1 is outside 0.1 to 1000, or 0"},
        {{"verify", "--speed-up", "1e-9", "--simulate"}, 2, "1e-9 is outside"},
        {{"--speed-up", "abc", "--simulate"}, 2, "\"abc\" is not a number"},
        {{"--devcie", "DEV1"}, 2, "unknown option --devcie (did you mean --device?)"},
        {{"program", "dev1"}, 2, "name the instrument with --device dev1"},
        {{"list", "--trace", ""}, 2, "--trace needs a file name"},
        {{"list", "--speed-up", "2"}, 2, "add --simulate"},
        {{"program", "--simulate", "--speed-up", "0"}, 2, "add --yes"},
        {{"verify", "--device", "DEV99", "--simulate", "--speed-up", "0"}, 3,
         "No instrument DEV99 found; attached: DEV1 (port "},
        // A script whose variable is empty must not reach whichever instrument is attached.
        {{"verify", "--device", "", "--simulate", "--speed-up", "0"}, 2, "--device is empty"},
        {{"program", "--yes", "--serial", " ", "--simulate", "--speed-up", "0"}, 2, "--serial is empty"},
        {{"verify", "--device", "DEV1", "--serial", "X", "--simulate"}, 2, "give one of them"},
        // Options a command has no use for are refused, not ignored.
        {{"versions", "--trace", "f.pcap"}, 2, "versions does not use --trace"},
        {{"list", "--device", "DEV1", "--simulate"}, 2, "list does not use --device"},
        {{"verify", "--yes", "--simulate"}, 2, "verify does not use --yes"},
        // The parser's own words never reach the user.
        {{"verify", "--device"}, 2, "--device needs a value: --device NAME"},
        {{"verify", "--device", "DEV1", "--device", "DEV2"}, 2, "--device is given twice"},
        {{"verify", "--simulate="}, 2, "--simulate= needs a kind"},
        {{"halp"}, 2, "(did you mean help?)"},
        {{"verfy"}, 2, "the commands are list"},
        {{"verify", "--simulate=CURRENT", "--speed-up", "0"}, 0, ""},
        // With several attached, none is taken by guess.
        {{"program", "--yes", "--simulate", "--instruments", "2", "--speed-up", "0"}, 2,
         "2 instruments are attached; name one with --device, --serial or --port:\n  DEV1  port "},
        {{"verify", "--serial", "ox00000002", "--simulate", "--instruments", "2", "--speed-up", "0"}, 4,
         ""},
        {{"halt", "--port", "nowhere", "--simulate", "--instruments", "2", "--speed-up", "0"}, 3,
         "No instrument at port nowhere found; attached: DEV1 (port "},
        {{"list", "--simulate", "--trace", "/no/such/dir/t.pcap"}, 1, "No such file or directory"},
        {{"verify", "--device", "dev1", "--simulate=current", "--speed-up", "0"}, 0, ""},
    };
    for (const Misuse& misuse : misuses) {
        const ProgramRun ran = run(misuse.arguments);
        EXPECT_EQ(ran.exit_code, misuse.exit_code) << described(ran);
        EXPECT_TRUE(contains(ran.err, misuse.says)) << misuse.says << "\n" << described(ran);
        EXPECT_FALSE(contains(ran.out, "error")) << described(ran);
        EXPECT_FALSE(contains(ran.out, "Restarting the instrument") && misuse.exit_code == 2)
            << "a refused program touched the instrument\n" << described(ran);
    }
    // No command that acts on the instrument is ever suggested for a typo.
    EXPECT_FALSE(contains(run({"verfy"}).err, "did you mean")) << "verfy";
    EXPECT_FALSE(contains(run({"progam"}).err, "did you mean")) << "progam";
    const ProgramRun help = run({"help"});
    EXPECT_EQ(help.exit_code, 0) << described(help);
    EXPECT_TRUE(contains(help.out, "Exit status:") && contains(help.out, "--trace FILE"))
        << described(help);
}

// ---- on a terminal ----

// The pieces of terminal output between line ends and cursor movements.
std::vector<std::string> screen_pieces(const std::string& output) {
    const std::string plain = std::regex_replace(output, std::regex("\x1b\\[[0-9;]*[A-Za-z]"), "\n");
    std::vector<std::string> pieces;
    for (std::string piece : lines_of(plain)) {
        piece.erase(std::remove(piece.begin(), piece.end(), '\r'), piece.end());
        pieces.push_back(piece);
    }
    return pieces;
}

ProgramRun program_on_terminal(int columns, const std::string& answer,
                               std::vector<std::string> environment = {"TERM=xterm", "NO_COLOR"}) {
    ProgramRunOptions options;
    options.terminal_columns = columns;
    options.answer_after = "[y/N] ";
    options.answer = answer;
    options.environment = std::move(environment);
    return run({"program", "--simulate", "--speed-up", "0"}, options);
}

TEST(CommandLineTerminal, AsksFirstAndDrawsBarsThatFitTheWidth) {
    std::size_t widest_bar[2] = {};
    const int widths[2] = {50, 120};
    for (int i = 0; i < 2; ++i) {
        const ProgramRun ran = program_on_terminal(widths[i], "y\n");
        ASSERT_EQ(ran.exit_code, 0) << described(ran);
        EXPECT_TRUE(contains(ran.out, "program will restart DEV1")) << described(ran);
        int bars = 0;
        for (const std::string& piece : screen_pieces(ran.out)) {
            if (piece.rfind("overall [", 0) == 0 || piece.rfind("step    [", 0) == 0) {
                ++bars;
                EXPECT_LT(piece.size(), static_cast<std::size_t>(widths[i])) << piece;
                widest_bar[i] = std::max(widest_bar[i], piece.size());
            }
        }
        EXPECT_GT(bars, 0) << described(ran);
        // A finished step goes into the log once, not also into the step line.
        const std::string done = "Restarting the instrument ... done";
        EXPECT_EQ(ran.out.find(done), ran.out.rfind(done)) << described(ran);
    }
    EXPECT_GT(widest_bar[1], widest_bar[0] + 50);
}

TEST(CommandLineTerminal, NoEscapeCodesForADumbTerminalAndNoColourForNoColor) {
    const ProgramRun dumb = program_on_terminal(80, "y\n", {"TERM=dumb", "NO_COLOR"});
    EXPECT_EQ(dumb.exit_code, 0) << described(dumb);
    EXPECT_EQ(dumb.out.find('\x1b'), std::string::npos) << described(dumb);
    EXPECT_TRUE(contains(dumb.out, "All the internal firmwares are up to date.")) << described(dumb);

    // NO_COLOR forbids colour only: the bars, which have none, stay.
    const ProgramRun no_color = program_on_terminal(80, "y\n", {"TERM=xterm", "NO_COLOR="});
    EXPECT_EQ(no_color.exit_code, 0) << described(no_color);
    EXPECT_TRUE(contains(no_color.out, "overall [")) << described(no_color);
    EXPECT_FALSE(std::regex_search(no_color.out, std::regex("\x1b\\[[0-9;]*m"))) << described(no_color);
}

TEST(CommandLineTerminal, AnAnswerOtherThanYesLeavesTheInstrumentAlone) {
    const ProgramRun ran = program_on_terminal(80, "n\n");
    EXPECT_EQ(ran.exit_code, 1) << described(ran);
    EXPECT_TRUE(contains(ran.out, "Nothing was done.")) << described(ran);
    EXPECT_FALSE(contains(ran.out, "Restarting the instrument")) << described(ran);
}

}  // namespace

namespace {

// An instrument whose boot EEPROM holds no boot image: the bare controller is
// listed on its own line and as a record of its own, never touched by the
// other commands, and recover brings the instrument back and current.
TEST(CommandLineRecovery, ListShowsTheBareControllerAndRecoverBringsItCurrent) {
    const ProgramRun listed = run({"list", "--simulate=bare"});
    ASSERT_EQ(listed.exit_code, 0) << described(listed);
    EXPECT_TRUE(contains(listed.out, "bare USB controller  port ")) << described(listed);
    EXPECT_TRUE(contains(listed.out, "recover with: ombrix-fwupdate recover --port ")) << described(listed);

    const ProgramRun json_list = run({"list", "--simulate=bare", "--json"});
    const auto records = records_of(json_list);
    expect_well_formed_stream(records, 0, described(json_list));
    const auto bare = of_type(records, "bare_controller");
    ASSERT_EQ(bare.size(), 1U) << described(json_list);
    EXPECT_EQ(bare[0].value("usb_ids", ""), "04b4:8613");
    EXPECT_TRUE(of_type(records, "instrument").empty());

    const ProgramRun verified = run({"verify", "--simulate=bare", "--speed-up", "0"});
    EXPECT_EQ(verified.exit_code, 3) << "no instrument to verify\n" << described(verified);

    const ProgramRun refused = run({"recover", "--simulate=bare", "--port", "usb:9-9", "--yes"});
    EXPECT_EQ(refused.exit_code, 3) << described(refused);
    EXPECT_TRUE(contains(refused.err, "No bare USB controller at usb:9-9")) << described(refused);
    const ProgramRun unasked = run({"recover", "--simulate=bare"});
    EXPECT_EQ(unasked.exit_code, 2) << "no terminal to ask on, no --yes\n" << described(unasked);

    const ProgramRun recovered =
        run({"recover", "--yes", "--simulate=bare", "--speed-up", "0", "--json"});
    const auto stream = records_of(recovered);
    expect_well_formed_stream(stream, 0, described(recovered));
    ASSERT_EQ(stream.back()["items"].size(), ITEMS.size()) << described(recovered);
    for (const json& item : stream.back()["items"]) {
        const std::string state = item.value("state", "");
        EXPECT_TRUE(state == "updated" || state == "up_to_date") << item;
    }
    EXPECT_TRUE(contains(recovered.out, "Loading the USB firmware into the controller ... done"))
        << described(recovered);
    EXPECT_TRUE(contains(recovered.out, "All the internal firmwares are up to date.")) << described(recovered);
}

}  // namespace

