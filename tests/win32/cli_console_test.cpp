// The command-line program as a Windows console program, started as a child
// process through start_child_process (pipes for its output, NUL for its
// input, a process group of its own): over simulated instruments, over the
// WinUSB backend through the stand-in (ombrix-fwupdate-standin.exe: the same
// program reaching simulated instruments through the WinUSB stand-in's
// functions), and stopped by console control events. Every --json stream is
// also kept for the schema check that runs after this executable.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli/child_process.h"

namespace {

using nlohmann::json;

// Safety limits only: the simulated runs take no real time but the paced one.
constexpr auto RUN_LIMIT = std::chrono::minutes(3);
constexpr auto AFTER_INTERRUPT_LIMIT = std::chrono::seconds(30);

std::string beside_this_test(const char* relative_path) {
    char test_path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, test_path, MAX_PATH);
    std::string path = test_path;
    path.resize(path.find_last_of("\\/") + 1);
    return path + relative_path;
}

const std::string CLI = beside_this_test(OMBRIX_CLI_RELATIVE_PATH);
const std::string CLI_OVER_STANDIN = beside_this_test(OMBRIX_STANDIN_CLI_RELATIVE_PATH);

struct ConsoleRun {
    int exit_code = -1;
    std::string out;
    std::string err;
    bool hung = false;
};

std::string described(const ConsoleRun& run) {
    return "exit status " + std::to_string(run.exit_code) + (run.hung ? " (missed its deadline)" : "") +
           "\n--- standard output:\n" + run.out + "\n--- standard error:\n" + run.err;
}

bool contains(const std::string& text, const std::string& wanted) {
    return text.find(wanted) != std::string::npos;
}

// Runs the program to its end, reading both streams. on_output sees the
// child and its standard output so far after each piece of it. At the
// deadline the child is interrupted twice (its second event ends it at
// once); a child that outlives even that ends this test executable, with
// what it wrote, rather than hang it.
ConsoleRun run_console(const std::string& program, const std::vector<std::string>& arguments,
                       const std::function<void(ChildProcess&, const std::string&)>& on_output = {}) {
    std::vector<std::string> command{program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string error;
    const std::unique_ptr<ChildProcess> child = start_child_process(command, error);
    ConsoleRun run;
    if (child == nullptr) {
        run.err = "not started: " + error;
        return run;
    }
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    const auto reader = [&](ChildProcess::Stream stream, std::string& text) {
        char buffer[4096];
        while (const std::size_t got = child->read(stream, buffer)) {
            std::string so_far;
            {
                const std::lock_guard lock(mutex);
                text.append(buffer, got);
                so_far = text;
            }
            if (stream == ChildProcess::Stream::output && on_output) {
                on_output(*child, so_far);
            }
        }
    };
    std::thread out_reader(reader, ChildProcess::Stream::output, std::ref(run.out));
    std::thread err_reader(reader, ChildProcess::Stream::error, std::ref(run.err));
    std::thread waiter([&] {
        const int code = child->wait();
        const std::lock_guard lock(mutex);
        run.exit_code = code;
        done = true;
        ended.notify_all();
    });
    std::unique_lock lock(mutex);
    if (!ended.wait_for(lock, RUN_LIMIT, [&] { return done; })) {
        run.hung = true;
        child->interrupt();
        child->interrupt();
        if (!ended.wait_for(lock, AFTER_INTERRUPT_LIMIT, [&] { return done; })) {
            std::fprintf(stderr, "%s %s did not end:\n%s\n", program.c_str(), arguments.front().c_str(),
                         described(run).c_str());
            std::fflush(stderr);
            std::_Exit(1);
        }
    }
    lock.unlock();
    waiter.join();
    out_reader.join();
    err_reader.join();
    return run;
}

std::vector<json> records(const ConsoleRun& run) {
    std::vector<json> parsed;
    std::size_t begin = 0;
    while (begin < run.out.size()) {
        const std::size_t end = run.out.find('\n', begin);
        std::string line = run.out.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const json record = json::parse(line, nullptr, false);
        EXPECT_TRUE(record.is_object()) << "not a JSON record: " << line << "\n" << described(run);
        parsed.push_back(record);
        begin = end == std::string::npos ? run.out.size() : end + 1;
    }
    return parsed;
}

// The stream, for the schema check after this executable (the folder given
// in OMBRIX_JSON_STREAMS).
void keep_for_schema_check(const ConsoleRun& run, const std::string& name) {
    if (const char* folder = std::getenv("OMBRIX_JSON_STREAMS")) {
        std::ofstream(std::string(folder) + "\\" + name + ".jsonl", std::ios::binary) << run.out;
    }
}

// The last record: the result, with the exit status the process ended with.
void expect_result_record(const ConsoleRun& run, int exit_status, bool interrupted) {
    const std::vector<json> parsed = records(run);
    ASSERT_FALSE(parsed.empty()) << described(run);
    const json& result = parsed.back();
    EXPECT_EQ(result.value("type", ""), "result") << described(run);
    EXPECT_EQ(result.value("exit_status", -1), exit_status) << described(run);
    EXPECT_EQ(result.value("interrupted", !interrupted), interrupted) << described(run);
    EXPECT_EQ(parsed.front().value("type", ""), "start") << described(run);
}

// Sets an environment variable that the children inherit, while it lives.
class EnvironmentSetting {
public:
    EnvironmentSetting(const char* name, const char* value) : name_(name) { SetEnvironmentVariableA(name, value); }
    ~EnvironmentSetting() { SetEnvironmentVariableA(name_, nullptr); }
    EnvironmentSetting(const EnvironmentSetting&) = delete;
    EnvironmentSetting& operator=(const EnvironmentSetting&) = delete;

private:
    const char* name_;
};

TEST(ConsoleProgram, RunsCommandsOverSimulatedInstruments) {
    const ConsoleRun list = run_console(CLI, {"list", "--simulate", "--instruments", "2"});
    EXPECT_EQ(list.exit_code, 0) << described(list);
    EXPECT_TRUE(contains(list.out, "DEV1  port ") && contains(list.out, "DEV2  port ")) << described(list);

    const ConsoleRun verify = run_console(CLI, {"verify", "--simulate=current", "--speed-up", "0"});
    EXPECT_EQ(verify.exit_code, 0) << described(verify);
    EXPECT_TRUE(contains(verify.out, "bitstream                up to date")) << described(verify);

    const ConsoleRun program = run_console(CLI, {"program", "--simulate", "--speed-up", "0", "--yes", "--json"});
    EXPECT_EQ(program.exit_code, 0) << described(program);
    expect_result_record(program, 0, false);
    keep_for_schema_check(program, "program");

    // Every instrument at once: each in a child process of its own, one result naming each.
    const ConsoleRun all = run_console(
        CLI, {"program", "--all", "--simulate", "--instruments", "2", "--speed-up", "0", "--yes", "--json", "--no-history"});
    EXPECT_EQ(all.exit_code, 0) << described(all);
    expect_result_record(all, 0, false);
    const std::vector<json> all_records = records(all);
    ASSERT_FALSE(all_records.empty()) << described(all);
    const json instruments = all_records.back().value("instruments", json::array());
    ASSERT_EQ(instruments.size(), 2U) << described(all);
    EXPECT_EQ(instruments[1].value("name", ""), "DEV2") << described(all);
    EXPECT_EQ(instruments[1].value("result", ""), "updated") << described(all);
    keep_for_schema_check(all, "program-all");

    // The command line reaches the program's argv as it was given: blanks,
    // quotes and backslashes, a trailing one too.
    const std::string name = R"(D "E\" F\)";
    const ConsoleRun named = run_console(CLI, {"verify", "--simulate", "--speed-up", "0", "--device", name});
    EXPECT_EQ(named.exit_code, 3) << described(named);
    EXPECT_TRUE(contains(named.err, "No instrument " + name + " found; attached: DEV1")) << described(named);

    // Standard input is NUL, which is no console to ask on.
    const ConsoleRun unasked = run_console(CLI, {"program", "--simulate", "--speed-up", "0"});
    EXPECT_EQ(unasked.exit_code, 2) << described(unasked);
    EXPECT_TRUE(contains(unasked.err, "add --yes")) << described(unasked);
}

TEST(ConsoleProgram, FindsItsOwnPath) {
    const std::string path = own_program_path("argv0");
    EXPECT_NE(path, "argv0");
    EXPECT_EQ(path.substr(path.find_last_of("\\/") + 1), "tests_cli_windows.exe");
}

TEST(ConsoleProgram, ReachesInstrumentsThroughTheWinUsbBackend) {
    const ConsoleRun list = run_console(CLI_OVER_STANDIN, {"list", "--json"});
    EXPECT_EQ(list.exit_code, 0) << described(list);
    const std::vector<json> listed = records(list);
    ASSERT_GE(listed.size(), 2U) << described(list);
    EXPECT_EQ(listed[1].value("type", ""), "instrument") << described(list);
    EXPECT_EQ(listed[1].value("serial", ""), "OX00000001") << described(list);
    EXPECT_TRUE(contains(listed[1].value("port", ""), "{461498b6-d2fb-40c5-95dd-6e377f19f50e}")) << described(list);
    keep_for_schema_check(list, "standin-list");

    const ConsoleRun verify = run_console(CLI_OVER_STANDIN, {"verify", "--device", "dev1"});
    EXPECT_EQ(verify.exit_code, 0) << described(verify);
    EXPECT_TRUE(contains(verify.out, "power supply B           up to date")) << described(verify);

    {
        const EnvironmentSetting held("OMBRIX_STANDIN_FAULT", "access-denied");
        const ConsoleRun denied = run_console(CLI_OVER_STANDIN, {"verify"});
        EXPECT_EQ(denied.exit_code, 3) << described(denied);
        EXPECT_TRUE(contains(denied.err, "1 attached instrument could not be opened")) << described(denied);
        EXPECT_TRUE(contains(denied.err, "Access to the instrument was denied. WinUSB lets one program at a time"))
            << described(denied);
    }
    {
        const EnvironmentSetting none("OMBRIX_STANDIN_INSTRUMENTS", "0");
        const ConsoleRun missing = run_console(CLI_OVER_STANDIN, {"list"});
        EXPECT_EQ(missing.exit_code, 3) << described(missing);
        EXPECT_TRUE(contains(missing.err, "No instrument found. Windows finds an instrument only through its "
                                          "WinUSB driver"))
            << described(missing);
        EXPECT_TRUE(contains(missing.err, "{461498B6-D2FB-40c5-95DD-6E377F19F50E}")) << described(missing);
        EXPECT_FALSE(contains(missing.err, "Access to the instrument was denied")) << described(missing);
    }
}

// Ctrl+Break sent to the child's process group, once the run has begun:
// once, it stops at the next safe point and ends with the result record; a
// second one at once ends it at once, with the result record prepared for it.
TEST(ConsoleProgram, ChildInterruptedDuringARunEndsWithStatus130AndItsResult) {
    const auto interrupt_once_running = [](int interrupts) {
        return [interrupts, sent = false](ChildProcess& child, const std::string& out) mutable {
            if (!sent && contains(out, "\"type\":\"progress\"")) {
                sent = true;
                for (int i = 0; i < interrupts; ++i) {
                    child.interrupt();
                }
            }
        };
    };
    const std::vector<std::string> paced_program{"program", "--simulate", "--speed-up", "1", "--yes", "--json"};

    const ConsoleRun stopped = run_console(CLI, paced_program, interrupt_once_running(1));
    EXPECT_FALSE(stopped.hung) << described(stopped);
    EXPECT_EQ(stopped.exit_code, 130) << described(stopped);
    EXPECT_TRUE(contains(stopped.err, "Stopping")) << described(stopped);
    expect_result_record(stopped, 130, true);
    keep_for_schema_check(stopped, "program-stopped");

    const ConsoleRun ended = run_console(CLI, paced_program, interrupt_once_running(2));
    EXPECT_FALSE(ended.hung) << described(ended);
    EXPECT_EQ(ended.exit_code, 130) << described(ended);
    EXPECT_TRUE(contains(ended.err, "Ended at once")) << described(ended);
    expect_result_record(ended, 130, true);
    keep_for_schema_check(ended, "program-ended-at-once");
}

}  // namespace
