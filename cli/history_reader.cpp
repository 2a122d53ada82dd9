#include "cli/history_reader.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "cli/history.h"
#include "cli/run_report.h"
#include "sequence/item_table.h"
#include "sequence/run_outcome.h"

namespace {

// Runs kept beyond the last asked for, so that an end line finds its begin
// among the runs that other processes began and ended in between.
constexpr std::size_t PAIRING_WINDOW = 4096;

bool same_text_any_case(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool known_item(const std::string& name) {
    for (int i = 0; i < WORK_ITEM_COUNT; ++i) {
        if (name == json_identifier(work_item_name(static_cast<WorkItem>(i)))) {
            return true;
        }
    }
    return false;
}

bool known_state(const std::string& name) {
    for (const ItemState state : {ItemState::not_checked, ItemState::up_to_date, ItemState::needs_update,
                                  ItemState::updated, ItemState::failed}) {
        if (name == json_identifier(item_state_name(state))) {
            return true;
        }
    }
    return false;
}

using Json = nlohmann::json;

// The member's text when it is a string; nullopt otherwise (missing, null or
// another kind).
std::optional<std::string> json_text(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

// The member's value when it is a whole number within int's range.
std::optional<int> json_int(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) {
        return std::nullopt;
    }
    const auto value = found->get<std::int64_t>();
    if (value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

bool known_command(const std::string& command) {
    return command == "verify" || command == "program" || command == "recover";
}

// A member that is a string or null (or missing): false for any other kind.
bool optional_text(const Json& object, const char* key, std::optional<std::string>& out) {
    const auto value = object.find(key);
    if (value == object.end() || value->is_null()) {
        return true;
    }
    if (!value->is_string()) {
        return false;
    }
    out = value->get<std::string>();
    return true;
}

// The fields both lines carry.
bool read_run_fields(const Json& line, RecordedRun& run) {
    const std::optional<std::string> run_id = json_text(line, "run_id");
    const std::optional<std::string> command = json_text(line, "command");
    if (!run_id || run_id->empty() || !command || !known_command(*command)) {
        return false;
    }
    run.run_id = *run_id;
    run.command = *command;
    return optional_text(line, "program_version", run.program_version) && optional_text(line, "host", run.host) &&
           optional_text(line, "instrument", run.instrument) && optional_text(line, "serial", run.serial) &&
           optional_text(line, "port", run.port);
}

bool read_item(const Json& value, RecordedItem& item) {
    const std::optional<std::string> name = json_text(value, "item");
    const std::optional<std::string> before = json_text(value, "before");
    const std::optional<std::string> after = json_text(value, "after");
    if (!name || !known_item(*name) || !before || !known_state(*before) || !after || !known_state(*after)) {
        return false;
    }
    item.item = *name;
    item.before = *before;
    item.after = *after;
    return optional_text(value, "revision_before", item.revision_before) &&
           optional_text(value, "revision_after", item.revision_after);
}

bool read_end_fields(const Json& line, RecordedRun& run) {
    const std::optional<std::string> start = json_text(line, "start_time");
    const std::optional<std::string> end = json_text(line, "end_time");
    const std::optional<std::string> result = json_text(line, "result");
    const std::optional<int> exit_status = json_int(line, "exit_status");
    const auto interrupted = line.find("interrupted");
    const auto items = line.find("items");
    if (!start || !end || !result || result->empty() || !exit_status || *exit_status < 0 || *exit_status > 255 ||
        interrupted == line.end() || !interrupted->is_boolean() || items == line.end() || !items->is_array() ||
        items->size() > static_cast<std::size_t>(WORK_ITEM_COUNT)) {
        return false;
    }
    run.time = *start;
    run.end_time = *end;
    run.result = *result;
    run.exit_status = *exit_status;
    run.interrupted = interrupted->get<bool>();
    run.ended = true;
    for (const Json& value : *items) {
        RecordedItem item;
        if (!read_item(value, item)) {
            return false;
        }
        run.items.push_back(std::move(item));
    }
    return true;
}

// One line as a run's begin or end; nullopt when it is neither.
std::optional<RecordedRun> read_line(const std::string& text) {
    const Json line = Json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object()) {
        return std::nullopt;
    }
    const std::optional<std::string> type = json_text(line, "type");
    RecordedRun run;
    if (!type || !read_run_fields(line, run)) {
        return std::nullopt;
    }
    if (*type == "begin") {
        const std::optional<std::string> time = json_text(line, "time");
        if (!time) {
            return std::nullopt;
        }
        run.time = *time;
        run.result = NO_END_RECORDED;
        return run;
    }
    if (*type == "end" && read_end_fields(line, run)) {
        return run;
    }
    return std::nullopt;
}

// The runs as their lines come, the oldest let go once more than the window
// holds: bounded whatever the length of the file.
class RunCollector {
public:
    RunCollector(std::size_t last, std::string serial, HistoryContents& contents)
        : keep_(last > SIZE_MAX - PAIRING_WINDOW ? SIZE_MAX : last + PAIRING_WINDOW),
          last_(last),
          serial_(std::move(serial)),
          contents_(contents) {}

    void line(const std::string& text, long long number) {
        if (std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r'; })) {
            return;  // an empty line: what a writer leaves after a torn one
        }
        std::optional<RecordedRun> run = read_line(text);
        if (!run || !add(std::move(*run))) {
            damaged(number);
        }
    }

    void damaged(long long number) {
        if (contents_.damaged_lines++ == 0) {
            contents_.first_damaged_line = number;
        }
    }

    void finish() {
        const std::size_t count = std::min(last_, runs_.size());
        contents_.runs.assign(std::make_move_iterator(runs_.end() - static_cast<std::ptrdiff_t>(count)),
                              std::make_move_iterator(runs_.end()));
    }

private:
    // False for a line that repeats one already read (a second begin or end).
    bool add(RecordedRun run) {
        if (!serial_.empty() && !(run.serial && same_text_any_case(*run.serial, serial_))) {
            return true;
        }
        const auto known = positions_.find(run.run_id);
        if (known == positions_.end()) {
            positions_[run.run_id] = first_position_ + runs_.size();
            runs_.push_back(std::move(run));
            let_go_of_the_oldest();
            return true;
        }
        RecordedRun& earlier = runs_[known->second - first_position_];
        if (earlier.ended == run.ended) {
            return false;
        }
        if (run.ended) {
            earlier = std::move(run);  // the end says all the begin said, and how it ended
        }
        return true;
    }

    void let_go_of_the_oldest() {
        while (runs_.size() > keep_) {
            positions_.erase(runs_.front().run_id);
            runs_.pop_front();
            ++first_position_;
        }
    }

    const std::size_t keep_;
    const std::size_t last_;
    const std::string serial_;
    HistoryContents& contents_;
    std::deque<RecordedRun> runs_;
    std::unordered_map<std::string, std::size_t> positions_;  // run id -> position since the first
    std::size_t first_position_ = 0;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

int RecordedRun::items_changed() const {
    return static_cast<int>(std::count_if(items.begin(), items.end(),
                                          [](const RecordedItem& item) { return item.after == "updated"; }));
}

HistoryContents read_history(const std::string& path, std::size_t last, const std::string& serial) {
    HistoryContents contents;
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        contents.missing = errno == ENOENT;
        contents.error = contents.missing ? "" : "Cannot read the history file " + path + ": " + std::strerror(errno);
        return contents;
    }
    RunCollector runs(last, serial, contents);
    std::string line;
    bool overlong = false;
    long long number = 0;
    char buffer[16384];
    std::size_t got = 0;
    errno = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        const char* at = buffer;
        const char* const end = buffer + got;
        while (at < end) {
            const char* const newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
            const char* const piece_end = newline != nullptr ? newline : end;
            const auto piece = static_cast<std::size_t>(piece_end - at);
            // A line the history never writes: left out as it comes, never held.
            if (!overlong && line.size() + piece >= HISTORY_LINE_LIMIT) {
                overlong = true;
                line.clear();
            }
            if (!overlong) {
                line.append(at, piece);
            }
            at = piece_end;
            if (newline != nullptr) {
                ++number;
                if (overlong) {
                    runs.damaged(number);
                } else {
                    runs.line(line, number);
                }
                line.clear();
                overlong = false;
                ++at;
            }
        }
    }
    if (std::ferror(file.get()) != 0) {
        const int reason = errno;
        contents.error = "Cannot read the history file " + path + ": " +
                         (reason != 0 ? std::strerror(reason) : "a read failed");
        return contents;
    }
    if (!line.empty() || overlong) {
        runs.damaged(++number);  // the last line, torn: it never got its newline
    }
    runs.finish();
    return contents;
}
