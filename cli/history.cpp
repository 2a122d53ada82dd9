#include "cli/history.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

#include "cli/json_record.h"
#include "sequence/item_table.h"

#if defined(_WIN32)
#if !defined(NOMINMAX)
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string cannot_write(const std::string& path, const std::string& reason) {
    return "Cannot write the history file " + path + ": " + reason;
}

// ---- on each platform: the host, the process, appending a line ----

#if defined(_WIN32)

std::string host_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : "unknown";
}

unsigned long process_id() {
    return GetCurrentProcessId();
}

std::string windows_error_text(DWORD error) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        error, 0, text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
        reason.pop_back();
    }
    return reason.empty() ? "Windows error " + std::to_string(error) : reason;
}

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() {
        if (valid()) {
            CloseHandle(handle_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Whether the file's last byte is other than a newline (a line torn by a full
// disk or a crash).
bool ends_torn(HANDLE file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart == 0) {
        return false;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD got = 0;
    return ReadFile(file, &last, 1, &got, &at) && got == 1 && last != '\n';
}

// FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at
// the end of the file as it is then, whoever else writes it.
std::string append_line(const std::string& path, const std::string& line) {
    const FileHandle file(CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return cannot_write(path, windows_error_text(GetLastError()));
    }
    // The newline first where the file ends torn, so that this line stays whole.
    std::string text(ends_torn(file.get()) ? 1U : 0U, '\n');
    text += line;
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        return cannot_write(path, windows_error_text(GetLastError()));
    }
    if (written != text.size()) {
        return cannot_write(path, "only " + std::to_string(written) + " of " + std::to_string(text.size()) +
                                      " bytes were written");
    }
    return "";
}

#else

std::string host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "unknown";
    }
    return std::string(name, strnlen(name, sizeof name));
}

unsigned long process_id() {
    return static_cast<unsigned long>(getpid());
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes it now: 0, or the errno of a close that failed (a delayed write
    // error of a network file system).
    int close_now() {
        const int fd = fd_;
        fd_ = -1;
        return close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// Whether the regular file's last byte is other than a newline (a line torn
// by a full disk or a crash).
bool ends_torn(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) {
        return false;
    }
    char last = '\n';
    return pread(fd, &last, 1, status.st_size - 1) == 1 && last != '\n';
}

// O_APPEND: every write goes to the end of the file as it is then, and a
// write of less than PIPE_BUF lands whole beside other processes' writes.
// The lock (held for one write) keeps another writer's line from being half
// written while the last byte is looked at; where the file system has no
// locks, the line is appended all the same (a line that comes in between
// then costs no more than an empty line).
std::string append_line(const std::string& path, const std::string& line) {
    constexpr int FLAGS = O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = open(path.c_str(), O_RDWR | FLAGS, 0666);
    const bool readable = fd >= 0;
    if (fd < 0 && errno == EACCES) {
        fd = open(path.c_str(), O_WRONLY | FLAGS, 0666);  // a file that may be written, not read
    }
    if (fd < 0) {
        return cannot_write(path, std::strerror(errno));
    }
    FileDescriptor file(fd);
    flock(file.get(), LOCK_EX);  // released as the file closes
    std::string text(readable && ends_torn(file.get()) ? 1U : 0U, '\n');
    text += line;
    const ssize_t written = write(file.get(), text.data(), text.size());
    if (written < 0) {
        return cannot_write(path, std::strerror(errno));
    }
    if (static_cast<std::size_t>(written) != text.size()) {
        return cannot_write(path, "only " + std::to_string(written) + " of " + std::to_string(text.size()) +
                                      " bytes were written");
    }
    if (const int error = file.close_now(); error != 0) {
        return cannot_write(path, std::strerror(error));
    }
    return "";
}

#endif

// ---- the lines ----

// Text as a line holds it: printable ASCII, at most `cap` bytes.
std::string capped(const std::string& text, std::size_t cap) {
    return printable(text.substr(0, cap));
}

void add_text_or_null(JsonRecord& record, const char* key, const std::string& text, std::size_t cap) {
    if (text.empty()) {
        record.add_json(key, "null");
    } else {
        record.add(key, capped(text, cap));
    }
}

// "host-pid-20261210T043000Z-5f0c2a9e41d7b3c6": unique across hosts (the
// name), processes (the id), time, and the random bits for what is left.
std::string new_run_id(const std::string& host, const std::string& time) {
    std::string compact_time;
    for (const char c : time) {
        if (c != '-' && c != ':') {
            compact_time += c;
        }
    }
    std::string compact_host;
    for (const char c : host.substr(0, 64)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.';
        compact_host += plain ? c : '_';
    }
    std::random_device device;
    const auto ticks = static_cast<unsigned long long>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    const unsigned long long random =
        ((static_cast<unsigned long long>(device()) << 32) ^ device() ^ ticks);
    char id[200];
    std::snprintf(id, sizeof id, "%s-%lu-%s-%016llx", compact_host.c_str(), process_id(), compact_time.c_str(),
                  random);
    return id;
}

struct LineFacts {
    const std::string& host;
    const std::string& command;
    const HistoryInstrument& instrument;
};

// The fields both lines share after their times.
void add_run_fields(JsonRecord& record, const LineFacts& facts, std::size_t cap) {
    record.add("program_version", PROGRAM_VERSION);
    add_text_or_null(record, "host", facts.host, cap);
    record.add("command", facts.command);
    add_text_or_null(record, "instrument", facts.instrument.name, cap);
    add_text_or_null(record, "serial", facts.instrument.serial, cap);
    add_text_or_null(record, "port", facts.instrument.port, cap);
}

std::string items_json(const RunReport& report, std::size_t cap) {
    std::vector<std::string> items;
    for (const ReportRow& row : report.rows()) {
        // The instrument now holds the available revision where the item was
        // rewritten and read back; else what it reported.
        const std::string& after = row.state == ItemState::updated ? row.available : row.installed;
        const std::string object = "{\"item\":" + json_string(json_identifier(work_item_name(row.item))) +
                             ",\"before\":" + json_string(json_identifier(item_state_name(row.found))) +
                             ",\"revision_before\":" +
                             (row.found_installed.empty() ? "null" : json_string(capped(row.found_installed, cap))) +
                             ",\"after\":" + json_string(json_identifier(item_state_name(row.state))) +
                             ",\"revision_after\":" + (after.empty() ? "null" : json_string(capped(after, cap))) +
                             "}";
        items.push_back(object);
    }
    return json_array(items);
}

// Each text at most this long, then shorter until the line fits.
constexpr std::size_t TEXT_CAPS[] = {256, 64, 16};
constexpr std::size_t REVISION_CAP = 32;

template <typename Build>
std::string fitted_line(const Build& build) {
    std::string line;
    for (const std::size_t cap : TEXT_CAPS) {
        line = build(cap);
        // The newline, and the one before it where the file ends torn.
        if (line.size() + 2 < HISTORY_LINE_LIMIT) {
            return line;
        }
    }
    return line;  // refused whole by history_append
}

}  // namespace

HistoryPath default_history_path() {
#if defined(_WIN32)
    const std::string base = environment("LOCALAPPDATA");
    if (base.empty()) {
        return {"", "LOCALAPPDATA is not set, so the history has no place; give --history FILE or --no-history"};
    }
    return {base + "\\ombrix-fwupdate\\history.jsonl", ""};
#else
    std::string state = environment("XDG_STATE_HOME");
    if (state.empty() || state.front() != '/') {
        const std::string home = environment("HOME");
        if (home.empty()) {
            return {"", "neither XDG_STATE_HOME nor HOME is set, so the history has no place; give --history "
                        "FILE or --no-history"};
        }
        state = home + "/.local/state";
    }
    return {state + "/ombrix-fwupdate/history.jsonl", ""};
#endif
}

HistoryPath history_path(const CliOptions& options) {
    return options.history_path.empty() ? default_history_path() : HistoryPath{options.history_path, ""};
}

std::string history_append(const std::string& path, std::string_view line) {
    std::string text(line);
    text += '\n';
    if (text.size() + 1 >= HISTORY_LINE_LIMIT) {
        return cannot_write(path, "a line of " + std::to_string(text.size()) + " bytes is too long to write whole");
    }
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code error;
    if (!folder.empty() && !std::filesystem::is_directory(folder, error)) {
        std::filesystem::create_directories(folder, error);
        if (error) {
            return cannot_write(path, "its folder cannot be made: " + error.message());
        }
    }
    return append_line(path, text);
}

std::string utc_time_now() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::string history_result(int exit_status, bool interrupted, const RunReport& report) {
    if (interrupted) {
        return "interrupted";
    }
    if (exit_status == 0) {
        for (const ReportRow& row : report.rows()) {
            if (row.state == ItemState::updated) {
                return "updated";
            }
        }
        return "up to date";
    }
    return exit_status == 4 ? "out of date" : "failed";
}

RunHistory::RunHistory(const CliOptions& options)
    : enabled_(!options.no_history &&
               (options.command == CliCommand::verify || options.command == CliCommand::program ||
                options.command == CliCommand::recover)),
      path_(history_path(options)),
      command_(options.command_name) {}

std::string RunHistory::begin(const HistoryInstrument& instrument) {
    if (!enabled_) {
        return "";
    }
    if (!path_.error.empty()) {
        return path_.error;
    }
    host_ = host_name();
    start_time_ = utc_time_now();
    instrument_ = instrument;
    const std::string run_id = new_run_id(host_, start_time_);
    const LineFacts facts{host_, command_, instrument_};
    const std::string line = fitted_line([&](std::size_t cap) {
        JsonRecord record("begin");
        record.add("schema_version", HISTORY_SCHEMA_VERSION).add("run_id", run_id).add("time", start_time_);
        add_run_fields(record, facts, cap);
        return record.text();
    });
    std::string error = history_append(path_.path, line);
    if (error.empty()) {
        run_id_ = run_id;
    }
    return error;
}

std::string RunHistory::end(const RunReport& report, int exit_status, bool interrupted) {
    if (!enabled_ || run_id_.empty()) {
        return "";
    }
    const std::string end_time = utc_time_now();
    const LineFacts facts{host_, command_, instrument_};
    const std::string line = fitted_line([&](std::size_t cap) {
        JsonRecord record("end");
        record.add("schema_version", HISTORY_SCHEMA_VERSION)
            .add("run_id", run_id_)
            .add("start_time", start_time_)
            .add("end_time", end_time);
        add_run_fields(record, facts, cap);
        record.add_json("items", items_json(report, std::min(cap, REVISION_CAP)))
            .add("result", history_result(exit_status, interrupted, report))
            .add("exit_status", exit_status)
            .add("interrupted", interrupted);
        return record.text();
    });
    return history_append(path_.path, line);
}
