// The command-line program as a process of its own, interrupted as a shell
// interrupts it: the first SIGINT lets the run end where the next run repairs
// and exits 130, a second one ends it at once, and a closed output pipe never
// ends a run. Each case has a deadline and fails with what it saw.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/program_run.h"

namespace {

constexpr auto DEADLINE = std::chrono::minutes(3);

ProgramRun run_cli(const std::vector<std::string>& arguments,
               const std::function<void(pid_t, const std::string&)>& on_output = nullptr,
               bool keep_output = true) {
    ProgramRunOptions options;
    options.on_output = on_output;
    options.keep_output = keep_output;
    options.deadline = DEADLINE;
    return run_program(OMBRIX_CLI_PATH, arguments, options);
}

const std::string WRITING_NOTICE = "keep it connected and powered until the end";

// Sends SIGINT once the program has said it is writing to the instrument,
// and again (when twice) once it has acknowledged the first.
std::function<void(pid_t, const std::string&)> interrupt_while_writing(bool twice) {
    auto sent = std::make_shared<int>(0);
    return [sent, twice](pid_t pid, const std::string& output) {
        if (*sent == 0 && contains(output, WRITING_NOTICE)) {
            kill(pid, SIGINT);
            *sent = 1;
        } else if (twice && *sent == 1 && contains(output, "interrupt again")) {
            kill(pid, SIGINT);
            *sent = 2;
        }
    };
}

const std::vector<std::string> SLOW_PROGRAM = {"program", "--yes", "--simulate=outdated",
                                                "--speed-up", "8"};

TEST(CommandLineSignals, FirstInterruptEndsWhereTheNextRunRepairsWithStatus130) {
    const ProgramRun run = run_cli(SLOW_PROGRAM, interrupt_while_writing(false));

    ASSERT_FALSE(run.hung) << described(run);
    EXPECT_EQ(run.exit_code, 130) << described(run);
    EXPECT_TRUE(contains(run.out, "Stopped on request.")) << described(run);
    EXPECT_TRUE(contains(run.err, "Run program again")) << described(run);
    EXPECT_FALSE(contains(run.out, "All the internal firmwares are up to date")) << described(run);
    // The write that was going on when the signal came ended whole.
    EXPECT_FALSE(contains(run.out, "failed")) << described(run);
    EXPECT_TRUE(contains(run.err, "Stopping at the next point")) << described(run);
}

TEST(CommandLineSignals, SecondInterruptEndsAtOnceAndWarns) {
    const ProgramRun run = run_cli(SLOW_PROGRAM, interrupt_while_writing(true));

    ASSERT_FALSE(run.hung) << described(run);
    EXPECT_EQ(run.exit_code, 130) << described(run);
    EXPECT_TRUE(contains(run.err, "may be left unusable")) << described(run);
    EXPECT_TRUE(contains(run.err, "Ended at once")) << described(run);
}

// The result is the last record after one signal and after two (then as the
// items stood when the program ended).
TEST(CommandLineSignals, JsonEndsWithAResultMarkedInterruptedAfterOneSignalOrTwo) {
    std::vector<std::string> arguments = SLOW_PROGRAM;
    arguments.push_back("--json");
    for (const bool twice : {false, true}) {
        const ProgramRun run = run_cli(arguments, interrupt_while_writing(twice));

        ASSERT_FALSE(run.hung) << described(run);
        EXPECT_EQ(run.exit_code, 130) << described(run);
        ASSERT_FALSE(run.out.empty());
        const std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
        EXPECT_TRUE(contains(last, "{\"type\":\"result\"")) << described(run);
        EXPECT_TRUE(contains(last, "\"exit_status\":130,\"interrupted\":true,\"instrument\":\"DEV1\""))
            << described(run);
        EXPECT_TRUE(contains(run.out, "{\"type\":\"notice\"")) << described(run);
        EXPECT_EQ(contains(run.err, "may be left unusable"), twice) << described(run);
    }
}

// Shells and service managers read the signal from the status: 128 + its number.
TEST(CommandLineSignals, TerminateAndHangUpEndWithTheirOwnStatus) {
    for (const auto& [number, status] : {std::pair{SIGTERM, 143}, std::pair{SIGHUP, 129}}) {
        bool sent = false;
        const ProgramRun run = run_cli(SLOW_PROGRAM, [&sent, signal_number = number](pid_t pid,
                                                                                     const std::string& output) {
            if (!sent && contains(output, WRITING_NOTICE)) {
                kill(pid, signal_number);
                sent = true;
            }
        });
        ASSERT_FALSE(run.hung) << described(run);
        EXPECT_EQ(run.exit_code, status) << described(run);
        EXPECT_TRUE(contains(run.out, "Stopped on request.")) << described(run);
    }
}

// Before anything is written, a stop ends the checks at their next read, and
// no warning speaks of an instrument left unusable.
TEST(CommandLineSignals, AStopDuringTheChecksEndsThemAndNothingIsWritten) {
    const std::vector<std::string> slow_verify = {"verify", "--simulate=outdated", "--speed-up", "2"};
    const ProgramRun run = run_cli(slow_verify, [sent = std::make_shared<int>(0)](
                                                    pid_t pid, const std::string& output) {
        if (*sent == 0 && contains(output, "Checking bitstream ... ")) {
            kill(pid, SIGINT);
            *sent = 1;
        } else if (*sent == 1 && contains(output, "Interrupt again")) {
            kill(pid, SIGINT);
            *sent = 2;
        }
    });

    ASSERT_FALSE(run.hung) << described(run);
    EXPECT_EQ(run.exit_code, 130) << described(run);
    EXPECT_TRUE(contains(run.err, "nothing has been written to the instrument")) << described(run);
    EXPECT_TRUE(contains(run.err, "Ended at once; nothing had been written")) << described(run);
    EXPECT_FALSE(contains(run.err, "unusable")) << described(run);
    EXPECT_FALSE(contains(run.out, "Checking power supply B")) << described(run);
}

TEST(CommandLineSignals, ASignalAtTheQuestionEndsAtOnceWithNothingDone) {
    ProgramRunOptions options;
    options.terminal_columns = 80;
    options.deadline = DEADLINE;
    options.environment = {"TERM=dumb"};
    options.on_output = [sent = std::make_shared<bool>(false)](pid_t pid, const std::string& output) {
        if (!*sent && contains(output, "[y/N] ")) {
            kill(pid, SIGINT);
            *sent = true;
        }
    };
    const ProgramRun run = run_program(OMBRIX_CLI_PATH, {"program", "--simulate", "--speed-up", "0"}, options);

    ASSERT_FALSE(run.hung) << described(run);
    EXPECT_EQ(run.exit_code, 130) << described(run);
    EXPECT_TRUE(contains(run.out, "Nothing was done.")) << described(run);
    EXPECT_FALSE(contains(run.out, "Restarting")) << described(run);
    EXPECT_FALSE(contains(run.out, "Stopping")) << described(run);
}

// A write that fails is an error (status 1, the reason on standard error),
// and the run still ends where the next run repairs.
TEST(CommandLineSignals, AFullDiskIsAnErrorForTheTraceAndForTheOutput) {
    const ProgramRun traced = run_cli({"verify", "--simulate=current", "--speed-up", "0", "--trace", "/dev/full"});
    EXPECT_EQ(traced.exit_code, 1) << described(traced);
    EXPECT_TRUE(contains(traced.err, "trace file /dev/full")) << described(traced);
    EXPECT_TRUE(contains(traced.err, "No space left on device")) << described(traced);

    const ProgramRun printed = run_program(
        "/bin/sh", {"-c", "exec \"$0\" verify --simulate=current --speed-up 0 >/dev/full", OMBRIX_CLI_PATH});
    EXPECT_EQ(printed.exit_code, 1) << described(printed);
    EXPECT_TRUE(contains(printed.err, "Cannot write the standard output: No space left on device"))
        << described(printed);
}

TEST(CommandLineSignals, AClosedOutputPipeDoesNotEndTheRun) {
    const ProgramRun run = run_cli({"verify", "--simulate=current", "--speed-up", "0"}, nullptr,
                                /*keep_output=*/false);

    ASSERT_FALSE(run.hung) << described(run);
    EXPECT_EQ(run.signal, 0) << described(run);
    EXPECT_EQ(run.exit_code, 0) << described(run);
}

}  // namespace
