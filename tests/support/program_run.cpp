#include "support/program_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "support/program_arguments.h"

namespace {

// The state directory of each test that ran the program, made as the test
// first asks and removed as the test program ends.
class StateDirectories {
public:
    StateDirectories() = default;
    StateDirectories(const StateDirectories&) = delete;
    StateDirectories& operator=(const StateDirectories&) = delete;
    ~StateDirectories() {
        for (const auto& [test, directory] : made_) {
            std::error_code ignored;
            std::filesystem::remove_all(directory, ignored);
        }
    }

    std::string of(const std::string& test) {
        const auto made = made_.find(test);
        if (made != made_.end()) {
            return made->second;
        }
        char path[] = "/tmp/ombrix-state-XXXXXX";
        const std::string directory = mkdtemp(path) != nullptr ? path : "/nonexistent/ombrix-state";
        made_[test] = directory;
        return directory;
    }

private:
    std::map<std::string, std::string> made_;
};

void apply_environment(const std::vector<std::string>& environment) {
    for (const std::string& entry : environment) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            unsetenv(entry.c_str());
        } else {
            setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
    }
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // reading ends
    int err = -1;
};

[[noreturn]] void exec_program(const char* program, const std::vector<std::string>& arguments,
                               const ProgramRunOptions& options, const std::string& state) {
    // The run history goes to the test's own directory, never the user's.
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    apply_environment(options.environment);
    std::vector<std::string> words = program_words(program, arguments);
    const std::vector<char*> argv = exec_argv(words);
    execv(argv[0], argv.data());
    _exit(127);
}

Child start_on_pipes(const char* program, const std::vector<std::string>& arguments,
                     const ProgramRunOptions& options) {
    const std::string state = test_state_directory();
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        exec_program(program, arguments, options, state);
    }
    close(out[1]);
    close(err[1]);
    if (!options.keep_output) {
        close(out[0]);
        out[0] = -1;
    }
    return {pid, out[0], err[0]};
}

Child start_on_terminal(const char* program, const std::vector<std::string>& arguments,
                        const ProgramRunOptions& options) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(options.terminal_columns);
    size.ws_row = 40;
    const std::string state = test_state_directory();
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
    if (pid == 0) {
        exec_program(program, arguments, options, state);
    }
    return {pid, terminal, -1};
}

}  // namespace

std::string test_state_directory() {
    static StateDirectories directories;
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return directories.of(test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "");
}

#if defined(OMBRIX_JSON_SCHEMA)
namespace {

// Every --json stream a test reads, whatever the test looks at, is held to the
// documented schema: each record one it names, a start record first and a
// result record last.
void expect_json_stream_follows_schema(const std::vector<std::string>& arguments,
                                       const ProgramRun& run) {
    if (std::find(arguments.begin(), arguments.end(), "--json") == arguments.end()) {
        return;
    }
    char path[] = "/tmp/ombrix-json-stream-XXXXXX";
    const int file = mkstemp(path);
    if (file < 0) {
        ADD_FAILURE() << "no file for the JSON stream: " << std::strerror(errno);
        return;
    }
    const bool written = write(file, run.out.data(), run.out.size()) ==
                         static_cast<ssize_t>(run.out.size());
    close(file);
    ProgramRunOptions options;
    options.deadline = std::chrono::minutes(1);
    const ProgramRun validated =
        written ? run_program(OMBRIX_PYTHON, {OMBRIX_JSON_VALIDATOR, OMBRIX_JSON_SCHEMA, path}, options)
                : ProgramRun{};
    unlink(path);
    EXPECT_EQ(validated.exit_code, 0) << "the --json stream does not follow the schema:\n"
                                      << validated.out << validated.err << "\nof the run\n"
                                      << described(run);
}

}  // namespace

std::string history_schema_problems(const std::string& path) {
    ProgramRunOptions options;
    options.deadline = std::chrono::minutes(1);
    const ProgramRun validated =
        run_program(OMBRIX_PYTHON, {OMBRIX_JSON_VALIDATOR, "--history", OMBRIX_JSON_SCHEMA, path}, options);
    return validated.exit_code == 0 ? "" : described(validated);
}
#else
namespace {
void expect_json_stream_follows_schema(const std::vector<std::string>&, const ProgramRun&) {}
}  // namespace

std::string history_schema_problems(const std::string&) {
    return "";
}
#endif

ProgramRun run_program(const char* program, const std::vector<std::string>& arguments,
                       const ProgramRunOptions& options) {
    const bool on_terminal = options.terminal_columns > 0;
    const Child child = on_terminal ? start_on_terminal(program, arguments, options)
                                    : start_on_pipes(program, arguments, options);
    ProgramRun run;
    if (child.pid < 0) {
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + options.deadline;
    int streams[2] = {child.out, child.err};
    bool answered = options.answer.empty();
    char buffer[4096];
    while ((streams[0] >= 0 || streams[1] >= 0) && !run.hung) {
        pollfd ready[2] = {{streams[0], POLLIN, 0}, {streams[1], POLLIN, 0}};
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
            if (got <= 0) {  // a terminal whose program ended reads EIO
                close(streams[i]);
                streams[i] = -1;
                continue;
            }
            (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(got));
            if (!answered && contains(run.out, options.answer_after)) {
                answered = true;
                [[maybe_unused]] const ssize_t written =
                    write(child.out, options.answer.data(), options.answer.size());
            }
            if (options.on_output) {
                options.on_output(child.pid, run.out + run.err);
            }
        }
    }
    if (run.hung) {
        kill(child.pid, SIGKILL);
    }
    for (const int stream : streams) {
        if (stream >= 0) {
            close(stream);
        }
    }
    int status = 0;
    waitpid(child.pid, &status, 0);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (on_terminal || !options.keep_output || run.hung || run.signal != 0) {
        return run;
    }
    expect_json_stream_follows_schema(arguments, run);
    return run;
}

std::string described(const ProgramRun& run) {
    return "exit " + std::to_string(run.exit_code) + ", signal " + std::to_string(run.signal) +
           (run.hung ? ", ended at the deadline" : "") + "\nstdout:\n" + run.out +
           "\nstderr:\n" + run.err;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}
