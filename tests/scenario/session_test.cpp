// A user's session with one instrument beyond single commands: the restart
// at the instrument's real pace, a log that keeps growing, and the program
// ending while a worker waits or after one nobody waited for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "window/log.h"
#include "scenario/command_fixture.h"
#include "scenario/run_texts.h"

namespace {

using namespace command_test;

class Session : public CommandTest {
  protected:
    sim::Instrument& listed(sim::InitialState initial,
                            sim::Timing timing = sim::Timing::instant()) {
        sim::Instrument& instrument = attach(12, initial, timing);
        device_list_refresh(nullptr);
        return instrument;
    }

    int refreshes() const {
        return static_cast<int>(
            std::count(window_.calls.begin(), window_.calls.end(), "device_combo_reset"));
    }
};

TEST_F(Session, RestartWaitsForTheInstrumentAtRealisticPace) {
    // The instrument leaves half a second after the restart and is back three
    // seconds later; the command looks every 250 ms.
    sim::Instrument& instrument = listed({}, sim::Timing::realistic());
    const std::size_t before = instrument.transfers().size();
    const int refreshes_before = refreshes();

    EXPECT_EQ(run_command(0), 1);

    const auto requests = controls(instrument, before);
    ASSERT_GE(requests.size(), 7U);
    ASSERT_EQ(requests[4].setup.request, 197);
    const sim::TransferRecord& announce = *std::find_if(
        requests.begin() + 5, requests.end(),
        [](const sim::TransferRecord& transfer) { return transfer.setup.request == 194; });
    const std::uint64_t away_us = announce.start_us - requests[4].end_us;
    EXPECT_GE(away_us, 3'500'000U);
    EXPECT_LT(away_us, 3'500'000U + 300'000U);
    // About 0.5 s of looks while it is still there, then about 3 s while it is away.
    const int looks = refreshes() - refreshes_before - 1;  // the worker's own refresh at its end
    EXPECT_GE(looks, 14);
    EXPECT_LE(looks, 17);
    EXPECT_EQ(window_.log().rfind(RESTARTED, 0), 0U);
    expect_idle_window();
}

TEST_F(Session, ExitWhileTheWorkerWaitsForTheUserEndsTheProcessCleanly) {
    // "Exit" is never disabled: the process ends with the worker still in its box.
    EXPECT_EXIT(
        {
            listed({});
            window_.hold_boxes();
            program_command(0, 0);
            window_.await_held_box();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Session, ExitAfterARunNobodyWaitedForEndsTheProcessCleanly) {
    EXPECT_EXIT(
        {
            listed({});
            program_command(0, 0);
            while (worker_busy()) {
                std::this_thread::yield();
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- the log over a long session ----

TEST_F(Session, LogStaysNearItsLimitThroughALongSession) {
    listed({});
    run_command(0);
    const std::size_t initial = window_.log().size();
    const std::string line = "_parse_guid returned -3 on GUID {461498B6-D2FB}\r\n";
    std::size_t appended = 0;
    bool full = false;

    for (int i = 0; i < 400; ++i) {
        log_append(line.c_str());
        appended += line.size();
        const std::size_t length = window_.log().size();
        ASSERT_LE(length, LOG_TEXT_LIMIT);
        full = full || length > LOG_TEXT_LIMIT - LOG_TRIM_SIZE;
        if (full) {
            ASSERT_GT(length, LOG_TEXT_LIMIT - LOG_TRIM_SIZE);
        }
    }

    // Whole blocks of 1024 characters went, from the front only.
    int trims = 0;
    for (const std::string& call : window_.calls) {
        trims += call == "log_set_selection 0 1024" ? 1 : 0;
    }
    const std::size_t length = window_.log().size();
    EXPECT_EQ(initial + appended - length, static_cast<std::size_t>(trims) * LOG_TRIM_SIZE);
    EXPECT_GE(trims, 15);
    EXPECT_EQ(window_.log().substr(length - line.size()), line);
}

}  // namespace
