// The command line's display on its own, with a clock of the test's: the
// progress line a pipe gets during a long step, the estimate of the time
// left, the run's percentage through the bar's odd positions, the write
// notice and item records from the worker's item events, the bars on standard
// error, their widths, the narrow item table; and the bash completion.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "cli/instrument_words.h"
#include "cli/run_report.h"
#include "cli/terminal_port.h"

namespace {

using namespace std::chrono_literals;

class Display : public testing::Test {
  protected:
    TerminalPort& port(TerminalStyle style, BarsStream bars_on = BarsStream::out) {
        out_ = open_memstream(&out_text_, &out_size_);
        err_ = open_memstream(&err_text_, &err_size_);
        DisplayEnvironment environment{out_, err_, [this] { return columns_; }, [this] { return now_; }, {}};
        port_.emplace(DisplaySettings{style, false, bars_on}, environment);
        return *port_;
    }
    ~Display() override { close(); }
    void close() {
        port_.reset();
        for (std::FILE* stream : {out_, err_}) {
            if (stream != nullptr) {
                std::fclose(stream);
            }
        }
        std::free(out_text_);
        std::free(err_text_);
        out_ = err_ = nullptr;
        out_text_ = err_text_ = nullptr;
        out_size_ = err_size_ = 0;
    }
    std::string out() {
        std::fflush(out_);
        return std::string(out_text_, out_size_);
    }
    std::string err() {
        std::fflush(err_);
        return std::string(err_text_, err_size_);
    }
    static int count(const std::string& text, const std::string& part) {
        int found = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++found;
        }
        return found;
    }

    int columns_ = 80;
    std::chrono::steady_clock::time_point now_{};
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
    char* out_text_ = nullptr;
    char* err_text_ = nullptr;
    std::size_t out_size_ = 0;
    std::size_t err_size_ = 0;
    std::optional<TerminalPort> port_;
};

TEST_F(Display, APipeGetsAProgressLineEveryTenSecondsOfALongStep) {
    TerminalPort& display = port(TerminalStyle::plain);
    display.log_replace_selection("Erasing bitstream ... ");
    // 35 seconds of the erase: the bars move every half second.
    for (int step = 1; step <= 70; ++step) {
        now_ += 500ms;
        display.progress_set(IDC_OVERALL_PROGRESS, static_cast<std::uint32_t>(10 + step / 7));
        display.progress_set(IDC_TASK_PROGRESS, static_cast<std::uint32_t>(step));
    }
    display.log_replace_selection("success\r\n");

    const std::string text = out();
    EXPECT_EQ(count(text, "progress: "), 3) << text;
    EXPECT_EQ(count(text, "(Erasing bitstream ... "), 3) << text;
    EXPECT_EQ(text.substr(text.rfind("Erasing")), "Erasing bitstream ... success\n");
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

TEST_F(Display, TheEstimateWaitsUntilThereIsAPaceAndFollowsIt) {
    TerminalPort& display = port(TerminalStyle::plain);
    display.log_replace_selection("Erasing bitstream ... ");
    display.progress_set(IDC_OVERALL_PROGRESS, 1);
    // A quarter of the run in 20 s: the first line has no pace yet to tell.
    for (int second = 1; second <= 20; ++second) {
        now_ += 1s;
        display.progress_set(IDC_OVERALL_PROGRESS, static_cast<std::uint32_t>(1 + second * 31 / 20));
    }
    const std::string text = out();
    EXPECT_EQ(count(text, "progress: "), 2) << text;
    EXPECT_EQ(count(text, "left"), 2) << text;
    // 20 s from 1 to 32 (without images every unit weighs the same): 96 units to go.
    EXPECT_NE(text.find("about 62 s left"), std::string::npos) << text;
}

TEST_F(Display, ThePercentageOnlyRisesWhateverTheBarsDo) {
    TerminalPort& display = port(TerminalStyle::json);
    // A position past the bar's end, then the run's end setting the bar back to 0.
    for (const std::uint32_t position : {64U, 66U, 1326U, 67U, 0U}) {
        display.progress_set(IDC_OVERALL_PROGRESS, position);
    }
    display.message_box("First line.\r\nSecond line.", MessageIcon::warning);

    const std::string text = out();
    EXPECT_EQ(count(text, "\"percent\":50,"), 1) << text;
    EXPECT_EQ(count(text, "\"percent\":51,"), 2) << text;
    EXPECT_EQ(count(text, "\"percent\":52,"), 2) << text;
    EXPECT_NE(text.find("{\"type\":\"message\",\"severity\":\"warning\",\"text\":\"First line.\\nSecond "
                        "line.\"}"),
              std::string::npos)
        << text;
}

const std::string NOTICE = "Writing to the instrument: keep it connected and powered until the end.";

ItemEvent beginning(WorkItem item, ItemPhase phase) {
    return {item, phase, ItemOutcome::started, {}};
}

TEST_F(Display, TheWriteNoticeComesOnceAsTheFirstEraseOrProgramBegins) {
    TerminalPort& display = port(TerminalStyle::plain);
    // A read-back writes nothing.
    display.log_replace_selection("Checking bitstream ... ");
    display.show_item(beginning(WorkItem::bitstream, ItemPhase::verify));
    display.log_replace_selection("success\r\n");
    EXPECT_EQ(err(), "");

    display.log_replace_selection("Erasing firmware ... ");
    display.show_item(beginning(WorkItem::firmware, ItemPhase::erase));
    EXPECT_EQ(err(), NOTICE + "\n");
    // Before the line of the erase is out.
    EXPECT_EQ(out(), "Checking bitstream ... success\n");

    display.log_replace_selection("success\r\n");
    display.log_replace_selection("Programming power supply A ... ");
    display.show_item(beginning(WorkItem::power_supply_a, ItemPhase::program));
    display.log_replace_selection("done\r\n");
    EXPECT_EQ(err(), NOTICE + "\n");
}

TEST_F(Display, InJsonAStepBeginningIsNoItemRecordAndTheNoticePrecedesItsLine) {
    TerminalPort& display = port(TerminalStyle::json);
    display.log_replace_selection("Programming power supply A ... ");
    display.show_item(beginning(WorkItem::power_supply_a, ItemPhase::program));
    display.show_item({WorkItem::power_supply_a, ItemPhase::program, ItemOutcome::success, {}});
    display.log_replace_selection("done\r\n");

    EXPECT_EQ(out(),
              "{\"type\":\"notice\",\"text\":\"" + NOTICE + "\"}\n"
              "{\"type\":\"item\",\"item\":\"power_supply_a\",\"phase\":\"program\","
              "\"outcome\":\"success\"}\n"
              "{\"type\":\"log\",\"text\":\"Programming power supply A ... done\"}\n");
    EXPECT_EQ(err(), "");
}

// ---- the bars ----

// The bracket parts of the bars drawn ("[###...]"), in order.
std::vector<std::string> brackets(const std::string& text) {
    std::vector<std::string> found;
    const std::regex bar("(overall|step   ) (\\[[#.]*\\])");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), bar); it != std::sregex_iterator(); ++it) {
        found.push_back((*it)[2]);
    }
    return found;
}

TEST_F(Display, WithStandardOutputInAPipeTheBarsGoToStandardErrorAndTheLogStaysPlain) {
    TerminalPort& display = port(TerminalStyle::interactive, BarsStream::err);
    display.log_replace_selection("Erasing bitstream ... ");
    for (int step = 1; step <= 70; ++step) {
        now_ += 500ms;
        display.progress_set(IDC_OVERALL_PROGRESS, static_cast<std::uint32_t>(10 + step / 7));
    }
    display.log_replace_selection("success\r\n");
    EXPECT_EQ(out(), "Erasing bitstream ... success\n");
    EXPECT_GT(count(err(), "overall ["), 10);
    EXPECT_EQ(err().substr(err().size() - 4), "\r\x1b[J") << "the bars are erased before the line";

    // The line reaches the terminal through `tee` a moment later: the bars
    // stay away until then.
    display.log_replace_selection("Programming bitstream ... ");
    now_ += 100ms;
    display.progress_set(IDC_OVERALL_PROGRESS, 43);
    EXPECT_EQ(err().substr(err().size() - 4), "\r\x1b[J");
    now_ += 150ms;
    display.progress_set(IDC_OVERALL_PROGRESS, 44);
    EXPECT_NE(err().substr(err().rfind("\r\x1b[J")).find("Programming bitstream ... "), std::string::npos);
    display.finish();
    EXPECT_EQ(out().find('\x1b'), std::string::npos);
    EXPECT_EQ(count(out(), "progress:"), 0);
}

TEST_F(Display, EachBarKeepsItsWidthWhateverItsFigureAndTheEstimate) {
    for (const int columns : {80, 40}) {
        columns_ = columns;
        now_ = {};
        TerminalPort& display = port(TerminalStyle::interactive);
        display.progress_set(IDC_TASK_PROGRESS, 3);
        // From no figure through an estimate to 100%.
        for (const std::uint32_t position : {1U, 13U, 64U, 127U, 128U}) {
            now_ += 30s;
            display.progress_set(IDC_OVERALL_PROGRESS, position);
            display.progress_set(IDC_TASK_PROGRESS, position);
        }
        const std::string text = err() + out();
        EXPECT_EQ(columns == 80, text.find(" left") != std::string::npos) << text;
        const std::vector<std::string> drawn = brackets(text);
        ASSERT_EQ(drawn.size(), 12U) << text;
        for (const std::string& bar : drawn) {
            EXPECT_EQ(bar.size(), drawn.front().size()) << bar;
        }
        std::istringstream lines(std::regex_replace(text, std::regex("\x1b\\[[0-9;]*[A-Za-z]|\r"), "\n"));
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LT(line.size(), static_cast<std::size_t>(columns)) << line;
        }
        close();
    }
}

// ---- the estimate ----

// The stand-in image set's lengths.
std::int64_t stand_in_length(int image_id) {
    switch (image_id) {
        case IMAGE_FACTORY_BITSTREAM: return 7'045'704;
        case IMAGE_BITSTREAM: return 9'232'444;
        case IMAGE_FACTORY_FIRMWARE: return 447'848;
        case IMAGE_FIRMWARE: return 659'720;
        case IMAGE_CONFIGURATION_SEQUENCE: return 208;
        default: return 0;
    }
}

TEST(TimeLeft, FollowsTheShapeOfAProgramRunOfTheSimulatedInstrument) {
    const BarWeights weights = bar_weights(item_table(), false, stand_in_length);
    // Where the bar stood, how long after it left position 1 and how long the
    // run still took, in a Program run of an outdated simulated instrument.
    struct Moment {
        std::uint32_t position;
        double elapsed;
        double left;
    };
    for (const Moment moment : {Moment{32, 24.7, 122.8}, Moment{64, 79.6, 67.8}, Moment{96, 104.4, 43.0}}) {
        const auto left = time_left(weights, 1, moment.position,
                                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(moment.elapsed)));
        ASSERT_TRUE(left.has_value());
        EXPECT_NEAR(static_cast<double>(left->count()), moment.left, moment.left * 0.2) << moment.position;
    }
    EXPECT_FALSE(time_left(weights, 5, 5, 10s).has_value());
}

TEST(TimeLeft, AVerifyRunAndARunWithoutImagesWeighEveryUnitAlike) {
    const BarWeights no_images = bar_weights(item_table(), false, [](int) { return std::int64_t{0}; });
    EXPECT_EQ(time_left(no_images, 0, 32, 20s), 60s);
    // The checks of a Verify run read everything back: the bitstream's 59
    // units and the factory bitstream's 60 at the pace of their lengths.
    const BarWeights verifying = bar_weights(item_table(), true, stand_in_length);
    const double per_unit_ratio = verifying[10] / verifying[100];
    EXPECT_NEAR(per_unit_ratio, (9'232'444.0 / 59) / (7'045'704.0 / 60), 0.01);
    EXPECT_EQ(time_left_text(40s), "about 40 s left");
    EXPECT_EQ(time_left_text(std::chrono::hours(30)), "about 999 min left");
}

// ---- the item table ----

TEST(ItemTable, KeepsItsLayoutAt80ColumnsAndFits40) {
    RunReport report;
    report.record({WorkItem::configuration_sequence, ItemPhase::check, ItemOutcome::needs_update, {}});
    report.record({WorkItem::power_supply_a, ItemPhase::check, ItemOutcome::up_to_date, "230115"});

    const std::string wide = report.table_text(80);
    EXPECT_EQ(wide, report.table_text());
    EXPECT_EQ(wide.substr(0, wide.find('\n')), "ITEM                     STATE          INSTALLED  AVAILABLE");
    EXPECT_NE(wide.find("\npower supply A           up to date     230115     "), std::string::npos) << wide;

    const std::string narrow = report.table_text(40);
    std::istringstream lines(narrow);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_LE(line.size(), 40U) << line;
    }
    EXPECT_EQ(count, 2 * (WORK_ITEM_COUNT + 1)) << narrow;
    EXPECT_EQ(narrow.substr(0, narrow.find("\nfirmware")),
              "ITEM                   STATE\n  INSTALLED  AVAILABLE");
    EXPECT_NE(narrow.find("configuration sequence needs update\n  -          -\n"), std::string::npos) << narrow;
    EXPECT_NE(narrow.find("power supply A         up to date\n  230115     "), std::string::npos) << narrow;
}

// ---- the bash completion ----

// What the completion offers for the words, the last being completed; the
// program lists the simulated instruments it runs.
std::string completed(const std::string& words) {
    const std::filesystem::path completion =
        std::filesystem::path(__FILE__).parent_path() / "../../resources/linux/ombrix-fwupdate.bash";
    const std::string script = "source '" + completion.string() + "'; COMP_WORDS=('" OMBRIX_CLI_PATH "' " +
                               words + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _ombrix_fwupdate; "
                               "echo \"${COMPREPLY[*]}\"";
    std::FILE* const shell =
        popen(("timeout 20 bash --norc --noprofile -s <<'EOF'\n" + script + "\nEOF\n").c_str(), "r");
    std::string reply;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, shell) != nullptr) {
        reply += buffer;
    }
    pclose(shell);
    return reply.empty() ? reply : reply.substr(0, reply.size() - 1);
}

TEST(BashCompletion, CompletesValuesAfterEqualsAndOnlyOptionsAfterACommand) {
    // bash hands "--simulate=cu" over as three words.
    EXPECT_EQ(completed("--simulate = cu"), "current");
    EXPECT_EQ(completed("--simulate ="), "outdated current blank bare");
    EXPECT_EQ(completed("--simulate=b"), "--simulate=blank --simulate=bare");
    EXPECT_EQ(completed("ver"), "verify versions");
    EXPECT_EQ(completed("verify --simulate ''"),
              "--device --port --serial --simulate --simulate= --speed-up --instruments --fault --trace "
              "--all --json --yes --quiet --verbose --history --no-history --last --csv --help --version "
              "-y -q -v -h");
    EXPECT_EQ(completed("--speed-up 4 p"), "program power-cycle");
    EXPECT_EQ(completed("--ins"), "--instruments");
    EXPECT_EQ(completed("hist"), "history");
    EXPECT_EQ(completed("history --la"), "--last");
}

TEST(BashCompletion, ListsTheSimulatedInstrumentsTheLineNames) {
    EXPECT_EQ(completed("--simulate --device ''"), "DEV1");
    EXPECT_EQ(completed("--simulate = current --serial ''"), "OX00000001");
    // An instrument's port, and a bare controller's.
    EXPECT_EQ(completed("--simulate --port ''"), "usb:1-1");
    EXPECT_EQ(completed("--simulate=bare --port ''"), "usb:1-1");
}

}  // namespace

namespace {

// The core's texts say "device"; the command line says "instrument", and
// leaves words that merely contain it alone.
TEST(CommandLineWords, TheCoreTextsSayInstrument) {
    EXPECT_EQ(in_instrument_words("Restarting the device ... done"), "Restarting the instrument ... done");
    EXPECT_EQ(in_instrument_words("Device FPGA halted.\r\nrefresh the device list"),
              "Instrument FPGA halted.\r\nrefresh the instrument list");
    EXPECT_EQ(in_instrument_words("all devices, devicename, the device_id, device."),
              "all instruments, devicename, the device_id, instrument.");
}

}  // namespace
