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

#include "support/program_arguments.h"

namespace {

constexpr auto DEADLINE = std::chrono::minutes(3);

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct ProgramRun {
    int exit_code = -1;
    int signal = 0;  // the signal that ended the program, if one did
    std::string out;
    std::string err;
    bool hung = false;
};

// Runs the program; after each piece of output, on_output may act on the
// running process (its pid), given everything written so far to either stream. keep_output false closes standard output's
// reading end at once, as a pager that quits does.
ProgramRun run_program(const std::vector<std::string>& arguments,
                const std::function<void(pid_t, const std::string&)>& on_output = nullptr,
                bool keep_output = true) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return {};
    }
    std::vector<std::string> words = program_words(OMBRIX_CLI_PATH, arguments);
    const std::vector<char*> argv = exec_argv(words);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (!keep_output) {
        close(out[0]);
    }
    ProgramRun run;
    const auto deadline = std::chrono::steady_clock::now() + DEADLINE;
    bool out_open = keep_output;
    bool err_open = true;
    char buffer[4096];
    while ((out_open || err_open) && !run.hung) {
        pollfd ready[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.hung = true;
            break;
        }
        if (poll(ready, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (ready[i].fd < 0 || ready[i].revents == 0) {
                continue;
            }
            const ssize_t got = read(ready[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                (i == 0 ? out_open : err_open) = false;
                continue;
            }
            (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(got));
            if (on_output) {
                on_output(pid, run.out + run.err);
            }
        }
    }
    if (run.hung) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (keep_output) {
        close(out[0]);
    }
    close(err[0]);
    return run;
}

std::string described(const ProgramRun& run) {
    return "exit " + std::to_string(run.exit_code) + ", signal " + std::to_string(run.signal) +
           (run.hung ? ", ended at the deadline" : "") + "\nstdout:\n" + run.out +
           "\nstderr:\n" + run.err;
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

const std::vector<std::string> SLOW_PROGRAM = {"program", "--simulate=outdated", "--speed-up",
                                                "8"};

TEST(CommandLineSignals, FirstInterruptEndsWhereTheNextRunRepairsWithStatus130) {
    const ProgramRun run = run_program(SLOW_PROGRAM, interrupt_while_writing(false));

    ASSERT_FALSE(run.hung) << described(run);
    EXPECT_EQ(run.exit_code, 130) << described(run);
    EXPECT_TRUE(contains(run.out, "Stopped on request.")) << described(run);
    EXPECT_TRUE(contains(run.out, "Run program again")) << described(run);
    EXPECT_FALSE(contains(run.out, "All the internal firmwares are up to date")) << described(run);
    // The write that was going on when the signal came ended whole.
    EXPECT_FALSE(contains(run.out, "failed")) << described(run);
    EXPECT_TRUE(contains(run.err, "Stopping at the next point")) << described(run);
}

TEST(CommandLineSignals, JsonEndsWithAResultMarkedInterrupted) {
    std::vector<std::string> arguments = SLOW_PROGRAM;
    arguments.push_back("--json");
    const ProgramRun run = run_program(arguments, interrupt_while_writing(false));

    ASSERT_FALSE(run.hung) << described(run);
    EXPECT_EQ(run.exit_code, 130) << described(run);
    ASSERT_FALSE(run.out.empty());
    const std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
    EXPECT_EQ(last, "{\"type\":\"result\",\"exit_code\":130,\"interrupted\":true}\n")
        << described(run);
    EXPECT_TRUE(contains(run.out, "{\"type\":\"notice\"")) << described(run);
}

TEST(CommandLineSignals, SecondInterruptEndsAtOnceAndWarns) {
    const ProgramRun run = run_program(SLOW_PROGRAM, interrupt_while_writing(true));

    ASSERT_FALSE(run.hung) << described(run);
    EXPECT_EQ(run.exit_code, 130) << described(run);
    EXPECT_TRUE(contains(run.err, "may be left unusable")) << described(run);
    EXPECT_TRUE(contains(run.err, "Ended at once")) << described(run);
}

TEST(CommandLineSignals, AClosedOutputPipeDoesNotEndTheRun) {
    const ProgramRun run = run_program({"verify", "--simulate=current", "--speed-up", "0"}, nullptr,
                                /*keep_output=*/false);

    ASSERT_FALSE(run.hung) << described(run);
    EXPECT_EQ(run.signal, 0) << described(run);
    EXPECT_EQ(run.exit_code, 0) << described(run);
}

}  // namespace
