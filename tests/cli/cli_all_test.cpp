// verify --all and program --all as a production bench runs them: every
// simulated instrument in a child process of its own, the parent's table or
// one JSON stream with each instrument's records tagged, the exit status of
// them all, and a stop that reaches every child.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/program_run.h"

namespace {

ProgramRun run_all(std::vector<std::string> arguments,
                   const std::function<void(pid_t, const std::string&)>& on_output = nullptr,
                   const std::string& contents = "outdated") {
    // Paced when the case acts on the run, so that a signal comes while the children write.
    const char* speed_up = on_output ? "8" : "0";
    arguments.insert(arguments.end(), {"--all", "--simulate=" + contents, "--speed-up", speed_up, "--instruments", "3"});
    ProgramRunOptions options;
    options.on_output = on_output;
    options.deadline = std::chrono::minutes(3);
    return run_program(OMBRIX_CLI_PATH, arguments, options);
}

std::vector<nlohmann::json> records(const std::string& out) {
    std::vector<nlohmann::json> parsed;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        parsed.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return parsed;
}

TEST(AllInstruments, ProgramAllEndsWithEachInstrumentsRecordsAndOneResultNamingEach) {
    const ProgramRun run = run_all({"program", "--yes", "--json"});

    ASSERT_EQ(run.exit_code, 0) << described(run);
    const std::vector<nlohmann::json> stream = records(run.out);
    ASSERT_GE(stream.size(), 3U);
    EXPECT_EQ(stream.front()["type"], "start");
    EXPECT_EQ(stream.front()["schema_version"], 2);
    std::map<std::string, int> updated_items;  // by instrument, from the item records
    for (std::size_t i = 1; i + 1 < stream.size(); ++i) {
        ASSERT_TRUE(stream[i].contains("instrument")) << stream[i].dump();
        if (stream[i]["type"] == "item" && stream[i]["phase"] == "verify" && stream[i]["outcome"] == "success") {
            ++updated_items[stream[i]["instrument"]["name"].get<std::string>()];
        }
    }
    EXPECT_EQ(updated_items.size(), 3U);
    const nlohmann::json& result = stream.back();
    EXPECT_EQ(result["type"], "result");
    EXPECT_EQ(result["exit_status"], 0);
    ASSERT_EQ(result["instruments"].size(), 3U);
    for (int i = 0; i < 3; ++i) {
        const nlohmann::json& entry = result["instruments"][static_cast<std::size_t>(i)];
        EXPECT_EQ(entry["name"], "DEV" + std::to_string(i + 1));
        EXPECT_EQ(entry["port"], "usb:1-" + std::to_string(i + 1));
        EXPECT_EQ(entry["serial"], "OX0000000" + std::to_string(i + 1));
        EXPECT_EQ(entry["result"], "updated");
        EXPECT_EQ(entry["items_changed"], 8);
    }
}

// The worst outcome decides: a failed instrument outweighs one out of date.
TEST(AllInstruments, TheTableAndTheStatusTellEachInstrumentsOutcome) {
    const ProgramRun outdated = run_all({"verify"});
    EXPECT_EQ(outdated.exit_code, 4) << described(outdated);
    EXPECT_TRUE(contains(outdated.out, "DEV3: Checking bitstream ... needs update")) << described(outdated);
    EXPECT_TRUE(contains(outdated.out, "DEV2        usb:1-2  OX00000002  out of date")) << described(outdated);

    const ProgramRun failed = run_all({"verify", "--fault", "no-return"});
    EXPECT_EQ(failed.exit_code, 1) << described(failed);
    EXPECT_TRUE(contains(failed.err, "DEV1: Internal error - the instrument was not found after restarting"))
        << described(failed);
    EXPECT_TRUE(contains(failed.out, "DEV1        usb:1-1  OX00000001  failed")) << described(failed);
    EXPECT_TRUE(contains(failed.out, "DEV3        usb:1-3  OX00000003  out of date")) << described(failed);

    const ProgramRun current = run_all({"verify"}, nullptr, "current");
    EXPECT_EQ(current.exit_code, 0) << described(current);
    EXPECT_TRUE(contains(current.out, "DEV1        usb:1-1  OX00000001  up to date")) << described(current);
}

// One stop reaches every child, each ends where the next run repairs; a
// second one is passed on too (a child still on its way to its safe point
// ends at once), and the parent still ends with the result of them all.
TEST(AllInstruments, AStopReachesEveryChild) {
    for (const int signals : {1, 2}) {
        auto sent = std::make_shared<int>(0);
        const ProgramRun run = run_all({"program", "--yes", "--json"},
                                       [sent, signals](pid_t pid, const std::string& output) {
                                           if (*sent == 0 && contains(output, "{\"type\":\"notice\"")) {
                                               kill(pid, SIGINT);
                                               *sent = 1;
                                           } else if (*sent == 1 && signals == 2 &&
                                                      contains(output, "interrupt again")) {
                                               kill(pid, SIGINT);
                                               *sent = 2;
                                           }
                                       });

        ASSERT_FALSE(run.hung) << described(run);
        EXPECT_EQ(run.exit_code, 130) << described(run);
        const nlohmann::json result = records(run.out).back();
        ASSERT_TRUE(result.is_object() && result.contains("instruments")) << described(run);
        EXPECT_EQ(result["interrupted"], true) << described(run);
        for (const nlohmann::json& entry : result["instruments"]) {
            EXPECT_EQ(entry["exit_status"], 130) << described(run);
            EXPECT_EQ(entry["result"], "interrupted") << described(run);
        }
        EXPECT_FALSE(contains(run.out, "\"state\":\"failed\"")) << described(run);
    }
}

TEST(AllInstruments, AllNamesNoInstrumentAndFollowsNoSingleOne) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"verify", "--device", "DEV1"}, {"program", "--port", "usb:1-1"},
          {"verify", "--trace", "/tmp/never.pcap"}, {"list"}}) {
        const ProgramRun run = run_all(words);
        EXPECT_EQ(run.exit_code, 2) << described(run);
    }
}

}  // namespace
