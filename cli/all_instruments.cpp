#include "cli/all_instruments.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/child_process.h"
#include "cli/exit_status.h"
#include "cli/stop_signals.h"
#include "cli/terminal_bars.h"
#include "sequence/stop_request.h"

namespace {

using Clock = std::chrono::steady_clock;
// The children's records keep their fields' order: "type" first.
using Json = nlohmann::ordered_json;

// A child's line longer than this is cut there: no record is this long, and
// the parent's memory stays bounded whatever a child writes.
constexpr std::size_t CHILD_LINE_MAX = 64 * 1024;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
// How soon a signal is passed on to the children.
constexpr auto SIGNAL_LATENCY = std::chrono::milliseconds(20);
constexpr int STEP_WIDTH_MIN = 10;

struct ChildLine {
    std::size_t child;
    ChildProcess::Stream stream;
    std::string text;
};

// The lines every child writes, in the order they arrive, for the parent's
// thread to show; the readers' threads only queue them.
class LineQueue {
public:
    void push(ChildLine line) {
        const std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        arrived_.notify_one();
    }
    void stream_ended() {
        const std::lock_guard lock(mutex_);
        ++ended_streams_;
        arrived_.notify_one();
    }
    // What arrived, waiting up to `timeout` for something.
    std::deque<ChildLine> take(std::chrono::milliseconds timeout, int& ended_streams) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, timeout, [&] { return !lines_.empty(); });
        ended_streams = ended_streams_;
        return std::exchange(lines_, {});
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<ChildLine> lines_;
    int ended_streams_ = 0;
};

// Reads one stream of a child to its end, a line at a time.
void read_lines(ChildProcess& child, ChildProcess::Stream stream, std::size_t index, LineQueue& queue) {
    std::string line;
    char buffer[4096];
    bool cut = false;
    for (;;) {
        const std::size_t got = child.read(stream, buffer);
        if (got == 0) {
            break;
        }
        for (std::size_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                queue.push({index, stream, std::exchange(line, {})});
                cut = false;
            } else if (line.size() < CHILD_LINE_MAX) {
                line += buffer[i];
            } else if (!cut) {
                cut = true;  // the rest of this line is dropped
            }
        }
    }
    if (!line.empty()) {
        queue.push({index, stream, std::move(line)});
    }
    queue.stream_ended();
}

// One instrument's run as the parent follows it.
struct InstrumentRun {
    ListedInstrument listed;
    std::unique_ptr<ChildProcess> child;
    std::string start_error;
    int percent = 0;
    std::string step;           // the log's latest line
    Json result;      // the child's result record, once it came
    int exit_status = EXIT_RUN_FAILED;
    Clock::time_point started;
    double seconds = 0;
};

int items_changed(const Json& result) {
    int changed = 0;
    const auto items = result.find("items");
    if (items == result.end() || !items->is_array()) {
        return 0;
    }
    for (const auto& item : *items) {
        const auto state = item.find("state");
        changed += state != item.end() && state->is_string() && state->get<std::string>() == "updated" ? 1 : 0;
    }
    return changed;
}

std::string text_field(const Json& record, const char* key) {
    const auto found = record.find(key);
    return found != record.end() && found->is_string() ? found->get<std::string>() : "";
}

// Each line of text, the instrument's name before it.
void print_prefixed(std::FILE* stream, const std::string& name, const std::string& text) {
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        std::fprintf(stream, "%s: %.*s\n", name.c_str(), static_cast<int>(end - begin), text.data() + begin);
        begin = end + 1;
    }
    std::fflush(stream);
}

std::string seconds_text(double seconds) {
    char text[32];
    const int whole = static_cast<int>(seconds + 0.5);
    std::snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
    return text;
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

class AllInstruments {
public:
    AllInstruments(const CliOptions& options, TerminalPort& port) : options_(options), port_(port) {
        interactive_ = !port.json() && is_terminal(stdout);
    }

    void start(const std::vector<ListedInstrument>& instruments, const std::string& program) {
        for (const ListedInstrument& listed : instruments) {
            auto run = std::make_unique<InstrumentRun>();
            run->listed = listed;
            std::vector<std::string> arguments{program};
            for (std::string& argument : child_arguments(options_, listed.port)) {
                arguments.push_back(std::move(argument));
            }
            run->started = Clock::now();
            run->child = start_child_process(arguments, run->start_error);
            runs_.push_back(std::move(run));
        }
        for (std::size_t i = 0; i < runs_.size(); ++i) {
            if (ChildProcess* child = runs_[i]->child.get()) {
                for (const auto stream : {ChildProcess::Stream::output, ChildProcess::Stream::error}) {
                    readers_.emplace_back(read_lines, std::ref(*child), stream, i, std::ref(queue_));
                    ++streams_;
                }
            } else {
                port_.error(runs_[i]->listed.name + ": " + runs_[i]->start_error);
            }
        }
    }

    // Until every child has ended: their lines shown, the bars drawn, and a
    // stop passed on.
    void follow() {
        SecondSignalDeferred deferred;
        bool second_passed_on = false;
        int interrupts_sent = 0;
        int ended = 0;
        Clock::time_point last_drawn{};
        while (ended < streams_) {
            for (ChildLine& line : queue_.take(SIGNAL_LATENCY, ended)) {
                show(line);
            }
            if (second_signal_came()) {
                second_signal_handled();
                second_passed_on = true;
            }
            const int wanted = second_passed_on ? 2 : worker_stop_requested() ? 1 : 0;
            for (; interrupts_sent < wanted; ++interrupts_sent) {
                for (const auto& run : runs_) {
                    if (run->child) {
                        run->child->interrupt();
                    }
                }
            }
            if (interactive_ && Clock::now() - last_drawn >= REDRAW_INTERVAL) {
                draw_lines();
                last_drawn = Clock::now();
            }
        }
        for (std::thread& reader : readers_) {
            reader.join();
        }
        for (const auto& run : runs_) {
            if (run->child) {
                run->exit_status = run->child->wait();
                run->seconds = std::chrono::duration<double>(Clock::now() - run->started).count();
            }
        }
        if (interactive_) {
            draw_lines();
        }
    }

    int exit_status() const {
        std::vector<int> statuses;
        for (const auto& run : runs_) {
            statuses.push_back(run->exit_status);
        }
        const int combined = combined_exit_status(statuses);
        return stop_signal_exit_status() != 0 ? stop_signal_exit_status() : combined;
    }

    // The table of them all, or the result record's instruments.
    void report(RunEnd& end) const {
        if (port_.json()) {
            Json entries = Json::array();
            for (const auto& run : runs_) {
                entries.push_back(instrument_entry(*run));
            }
            end.instruments_json = entries.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            return;
        }
        std::string table = "INSTRUMENT  PORT" + std::string(port_width() - 4, ' ') +
                            "  SERIAL      RESULT               CHANGED  TIME\n";
        for (const auto& run : runs_) {
            char row[512];
            const int changed = items_changed(run->result);
            std::snprintf(row, sizeof row, "%-10s  %-*s  %-10s  %-19s  %7d  %s\n", run->listed.name.c_str(),
                          static_cast<int>(port_width()), run->listed.port.c_str(),
                          run->listed.serial.empty() ? "-" : run->listed.serial.c_str(),
                          result_word(*run).c_str(), changed, seconds_text(run->seconds).c_str());
            table += row;
        }
        std::fputs(table.c_str(), stdout);
        std::fflush(stdout);
    }

private:
    std::string result_word(const InstrumentRun& run) const {
        return instrument_result_word(run.exit_status, items_changed(run.result),
                                      options_.command == CliCommand::verify);
    }

    Json instrument_entry(const InstrumentRun& run) const {
        Json entry = {{"name", run.listed.name},
                                {"port", run.listed.port},
                                {"serial", run.listed.serial},
                                {"exit_status", run.exit_status},
                                {"result", result_word(run)},
                                {"items_changed", items_changed(run.result)},
                                {"seconds", static_cast<long long>(run.seconds + 0.5)}};
        const auto items = run.result.find("items");
        if (items != run.result.end() && items->is_array()) {
            entry["items"] = *items;
        }
        return entry;
    }

    std::size_t port_width() const {
        std::size_t width = 4;
        for (const auto& run : runs_) {
            width = std::max(width, run->listed.port.size());
        }
        return width;
    }

    void show(ChildLine& line) {
        InstrumentRun& run = *runs_[line.child];
        if (line.stream == ChildProcess::Stream::error) {
            above_lines([&] { print_prefixed(stderr, run.listed.name, line.text); });
            return;
        }
        Json record = Json::parse(line.text, nullptr, false);
        if (record.is_discarded() || !record.is_object()) {
            return;  // not a record of this program's: nothing to show of it
        }
        const std::string type = text_field(record, "type");
        follow_record(run, type, record);
        if (type == "start" || type == "result") {
            return;  // the parent writes its own
        }
        if (port_.json()) {
            record["instrument"] = {{"name", run.listed.name}, {"port", run.listed.port}};
            std::printf("%s\n", record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            std::fflush(stdout);
        } else if (type == "message") {
            // Warnings and errors reach standard error, as the child's own would.
            const bool information = text_field(record, "severity") == "information";
            if (!information || !interactive_) {
                above_lines([&] {
                    print_prefixed(information ? stdout : stderr, run.listed.name, text_field(record, "text"));
                });
            }
        } else if (type == "notice") {
            above_lines([&] { print_prefixed(stderr, run.listed.name, text_field(record, "text")); });
        } else if (!interactive_ && !options_.quiet && type == "log") {
            print_prefixed(stdout, run.listed.name, text_field(record, "text"));
        }
    }

    void follow_record(InstrumentRun& run, const std::string& type, const Json& record) {
        if (type == "result") {
            run.result = record;
        } else if (type == "progress") {
            const auto percent = record.find("percent");
            if (percent != record.end() && percent->is_number_integer()) {
                run.percent = std::clamp(percent->get<int>(), 0, 100);
            }
        } else if (type == "log") {
            if (const std::string text = text_field(record, "text"); !text.empty()) {
                run.step = text;
            }
        } else if (type == "notice") {
            stop_signals_writing_began();  // the child's first write to its instrument
        }
    }

    // Output above the instruments' lines: they are erased first and drawn
    // again below it.
    void above_lines(const std::function<void()>& print) {
        if (interactive_ && drawn_ > 0) {
            std::fprintf(stdout, "\x1b[%dA\x1b[J", drawn_);
            std::fflush(stdout);
            drawn_ = 0;
        }
        print();
        std::fflush(stderr);
        if (interactive_) {
            draw_lines();
        }
    }

    void draw_lines() {
        const int columns = terminal_columns(stdout);
        std::string text = drawn_ > 0 ? "\x1b[" + std::to_string(drawn_) + "A" : "";
        const std::size_t name_width = 6;
        for (const auto& run : runs_) {
            std::string name = run->listed.name;
            name.resize(std::max(name.size(), name_width), ' ');
            const std::string head = name + " " + run->listed.port;
            const int bar_width = 20;
            const int room = columns - static_cast<int>(head.size()) - bar_width - 10;
            std::string step = run->child ? run->step : run->start_error;
            if (room < STEP_WIDTH_MIN) {
                step.clear();
            } else if (step.size() > static_cast<std::size_t>(room)) {
                step.resize(static_cast<std::size_t>(room));
            }
            std::string line = bar_line(head, run->percent, "  " + step, bar_width);
            if (line.size() > static_cast<std::size_t>(std::max(columns - 1, 1))) {
                line.resize(static_cast<std::size_t>(std::max(columns - 1, 1)));
            }
            text += "\r\x1b[K" + line + "\n";
        }
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
        drawn_ = static_cast<int>(runs_.size());
    }

    const CliOptions& options_;
    TerminalPort& port_;
    bool interactive_ = false;
    int drawn_ = 0;
    std::vector<std::unique_ptr<InstrumentRun>> runs_;
    LineQueue queue_;
    std::vector<std::thread> readers_;
    int streams_ = 0;
};

std::string instruments_named(const std::vector<ListedInstrument>& instruments) {
    std::string text;
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == instruments.size() ? " and " : ", ") + instruments[i].name + " (" +
                instruments[i].port + ")";
    }
    return text;
}

}  // namespace

std::vector<std::string> child_arguments(const CliOptions& options, const std::string& port) {
    std::vector<std::string> arguments{options.command_name, "--port", port, "--json"};
    if (options.command == CliCommand::program) {
        arguments.emplace_back("--yes");
    }
    // Each child records its own run; all of them in the one file.
    if (options.no_history) {
        arguments.emplace_back("--no-history");
    } else if (!options.history_path.empty()) {
        arguments.insert(arguments.end(), {"--history", options.history_path});
    }
    if (options.simulate) {
        arguments.push_back("--simulate=" + *options.simulate);
        arguments.insert(arguments.end(), {"--instruments", std::to_string(options.instruments), "--speed-up",
                                           number_text(options.speed_up)});
        if (!options.fault.empty()) {
            arguments.insert(arguments.end(), {"--fault", options.fault});
        }
    }
    return arguments;
}

int combined_exit_status(const std::vector<int>& statuses) {
    const auto any = [&](int status) { return std::find(statuses.begin(), statuses.end(), status) != statuses.end(); };
    const bool other = std::any_of(statuses.begin(), statuses.end(), [](int status) {
        return status != EXIT_DONE && status != EXIT_NO_INSTRUMENT && status != EXIT_OUT_OF_DATE;
    });
    if (other) {
        return EXIT_RUN_FAILED;  // a failure, a refusal or a child that a signal ended
    }
    if (any(EXIT_NO_INSTRUMENT)) {
        return EXIT_NO_INSTRUMENT;
    }
    return any(EXIT_OUT_OF_DATE) ? EXIT_OUT_OF_DATE : EXIT_DONE;
}

std::string instrument_result_word(int exit_status, int items_changed, bool verify) {
    switch (exit_status) {
        case EXIT_DONE:
            return !verify && items_changed > 0 ? "updated" : "up to date";
        case EXIT_RUN_FAILED:
            return "failed";
        case EXIT_USAGE:
            return "refused";
        case EXIT_NO_INSTRUMENT:
            return "not found or denied";
        case EXIT_OUT_OF_DATE:
            return "out of date";
        default:
            return exit_status > 128 ? "interrupted" : "failed";
    }
}

int run_all_instruments(const CliOptions& options, const std::vector<ListedInstrument>& instruments,
                        TerminalPort& port, RunEnd& end, const ConfirmWriting& confirm) {
    if (instruments.empty()) {
        port.error("No instrument found.");
        return EXIT_NO_INSTRUMENT;
    }
    if (instruments.size() > static_cast<std::size_t>(ALL_INSTRUMENTS_MAX)) {
        port.error(std::to_string(instruments.size()) + " instruments are attached; --all takes at most " +
                   std::to_string(ALL_INSTRUMENTS_MAX) +
                   " at once. Run them in groups with --port, one process per instrument.");
        return EXIT_USAGE;
    }
    if (options.command == CliCommand::program) {
        const std::string what = "restart " + instruments_named(instruments) +
                                 " and rewrite what is out of date on each";
        if (const int refused = confirm(what); refused != EXIT_DONE) {
            return refused;
        }
    }
    if (worker_stop_requested()) {
        return EXIT_INTERRUPTED;
    }
    AllInstruments all(options, port);
    all.start(instruments, own_program_path(options.program_path.c_str()));
    all.follow();
    all.report(end);
    return all.exit_status();
}
