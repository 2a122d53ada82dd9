// The command line's display on its own, with a clock of the test's: the
// progress line a pipe gets during a long step, the estimate of the time
// left, the run's percentage through the bar's odd positions, and the write
// notice and item records from the worker's item events.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/terminal_port.h"

namespace {

using namespace std::chrono_literals;

class Display : public testing::Test {
  protected:
    TerminalPort& port(TerminalStyle style) {
        out_ = open_memstream(&out_text_, &out_size_);
        err_ = open_memstream(&err_text_, &err_size_);
        DisplayEnvironment environment{out_, err_, [] { return 80; }, [this] { return now_; }};
        port_.emplace(DisplaySettings{style, false}, environment);
        return *port_;
    }
    ~Display() override {
        port_.reset();
        std::fclose(out_);
        std::fclose(err_);
        std::free(out_text_);
        std::free(err_text_);
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
    // 20 s for 25%: about a minute to go.
    EXPECT_NE(text.find("about 60 s left"), std::string::npos) << text;
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

}  // namespace
