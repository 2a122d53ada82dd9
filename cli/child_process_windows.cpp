// A child process on Windows: started with CreateProcessW, its standard
// output and error on pipes of its own, its standard input on NUL, in a
// process group of its own on the parent's console so that a console control
// event can be sent to it alone. A parent that cannot send one (it has no
// console, or its console does not pass Ctrl+Break on: Wine's) interrupts the
// child through a semaphore named after it instead (stop_signals.h).
//
// Strings are in the ANSI code page, as main's argv is: the child's runtime
// turns its wide command line back into that code page for its own argv.
#include "cli/child_process.h"

#include <windows.h>

#include "cli/stop_signals.h"

#include <algorithm>
#include <utility>

namespace {

// A kernel handle, closed when it goes.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    HANDLE handle_ = nullptr;
};

// What a process ended by the default handler of a console control event
// exits with; counted as SIGINT's status.
constexpr DWORD CONSOLE_EVENT_EXIT = STATUS_CONTROL_C_EXIT;
constexpr int INTERRUPTED_STATUS = 130;

std::wstring wide(const std::string& text, bool& valid) {
    valid = true;
    if (text.empty()) {
        return {};
    }
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        valid = false;
        return {};
    }
    std::wstring converted(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        converted.data(), length);
    return converted;
}

// One argument as the Microsoft C runtime (and CommandLineToArgvW) splits a
// command line: quoted when it is empty or holds a blank or a quote; inside
// the quotes, backslashes count only before a quote: 2n of them and a quote
// give n and end the quotes, 2n + 1 and a quote give n and a quote.
std::wstring quoted_argument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, L'\\');  // before the closing quote
    return quoted + L'"';
}

// The program's name, the command line's first word, is read up to the next
// blank outside quotes, without backslash escapes: it is always quoted, and
// a path holds no quote.
bool command_line(const std::vector<std::string>& arguments, std::wstring& line, std::string& error) {
    bool valid = true;
    const std::wstring program = wide(arguments.front(), valid);
    if (!valid || program.empty() || program.find(L'"') != std::wstring::npos) {
        error = "the program's path cannot be passed on: " + arguments.front();
        return false;
    }
    line = L"\"" + program + L"\"";
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring argument = wide(arguments[i], valid);
        if (!valid) {
            error = "an argument is not text of this system's code page: " + arguments[i];
            return false;
        }
        line += L" " + quoted_argument(argument);
    }
    return true;
}

std::string system_error(const char* what) {
    return std::string(what) + " failed (Windows error " + std::to_string(GetLastError()) + ")";
}

// A pipe whose write end the child inherits; the read end stays the parent's.
bool child_output_pipe(OwnedHandle& read_end, OwnedHandle& write_end) {
    HANDLE read_handle = nullptr;
    HANDLE write_handle = nullptr;
    if (!CreatePipe(&read_handle, &write_handle, nullptr, 0)) {
        return false;
    }
    read_end = OwnedHandle(read_handle);
    write_end = OwnedHandle(write_handle);
    return SetHandleInformation(write_handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

OwnedHandle inheritable_null_input() {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return OwnedHandle(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   OPEN_EXISTING, 0, nullptr));
}

// The attribute list that limits what the child inherits to the given
// handles, so that a child started meanwhile by another thread never holds
// this one's pipes open.
class InheritedHandles {
public:
    explicit InheritedHandles(std::span<const HANDLE> handles) : handles_(handles.begin(), handles.end()) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!storage_.empty() && InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            list_ = list;
            ready_ = UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                               handles_.size() * sizeof(HANDLE), nullptr, nullptr) != 0;
        }
    }
    ~InheritedHandles() {
        if (list_ != nullptr) {
            DeleteProcThreadAttributeList(list_);
        }
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST list() const { return ready_ ? list_ : nullptr; }

private:
    std::vector<HANDLE> handles_;
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    bool ready_ = false;
};

// The most interrupts a child's semaphore counts before it has taken them.
constexpr LONG MOST_PENDING_INTERRUPTS = 16;

class WindowsChildProcess final : public ChildProcess {
public:
    WindowsChildProcess(OwnedHandle process, DWORD process_id, OwnedHandle interrupts, OwnedHandle output,
                        OwnedHandle error)
        : process_(std::move(process)),
          process_id_(process_id),
          interrupts_(std::move(interrupts)),
          output_(std::move(output)),
          error_(std::move(error)) {}

    std::size_t read(Stream stream, std::span<char> buffer) override {
        const HANDLE pipe = (stream == Stream::output ? output_ : error_).get();
        DWORD got = 0;
        const auto wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
        if (wanted == 0 || !ReadFile(pipe, buffer.data(), wanted, &got, nullptr)) {
            return 0;  // ERROR_BROKEN_PIPE: every writer has closed its end
        }
        return std::min<std::size_t>(got, buffer.size());
    }

    // Ctrl+Break to the child's process group: its handler stops the run at
    // its next safe point, and ends at once on the second. (Ctrl+C cannot be
    // sent: a new process group starts with Ctrl+C ignored.) Where no console
    // event can be sent, one release of the child's semaphore does the same.
    void interrupt() override {
        if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_id_) && interrupts_) {
            ReleaseSemaphore(interrupts_.get(), 1, nullptr);
        }
    }

    int wait() override {
        WaitForSingleObject(process_.get(), INFINITE);
        DWORD code = 0;
        if (!GetExitCodeProcess(process_.get(), &code)) {
            return -1;
        }
        return code == CONSOLE_EVENT_EXIT ? INTERRUPTED_STATUS : static_cast<int>(code);
    }

private:
    OwnedHandle process_;
    DWORD process_id_;
    OwnedHandle interrupts_;
    OwnedHandle output_;
    OwnedHandle error_;
};

}  // namespace

// The child keeps running when this object goes before it has ended: its
// pipes close, its writes fail, and it stops at its next safe point.
std::unique_ptr<ChildProcess> start_child_process(const std::vector<std::string>& arguments,
                                                  std::string& error) {
    std::wstring line;
    if (arguments.empty()) {
        error = "no program to start";
        return nullptr;
    }
    if (!command_line(arguments, line, error)) {
        return nullptr;
    }
    OwnedHandle output_read, output_write, error_read, error_write;
    if (!child_output_pipe(output_read, output_write) || !child_output_pipe(error_read, error_write)) {
        error = system_error("CreatePipe");
        return nullptr;
    }
    const OwnedHandle input = inheritable_null_input();
    if (!input) {
        error = system_error("opening NUL");
        return nullptr;
    }
    const HANDLE inherited[] = {input.get(), output_write.get(), error_write.get()};
    const InheritedHandles only(inherited);
    if (only.list() == nullptr) {
        error = system_error("the list of inherited handles");
        return nullptr;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = output_write.get();
    startup.StartupInfo.hStdError = error_write.get();
    startup.lpAttributeList = only.list();
    bool valid = true;
    const std::wstring program = wide(arguments.front(), valid);
    PROCESS_INFORMATION started{};
    // Suspended until its semaphore exists, which it looks for as it starts.
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                        CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                        nullptr, &startup.StartupInfo, &started)) {
        error = system_error(("starting " + arguments.front()).c_str());
        return nullptr;
    }
    OwnedHandle process(started.hProcess);
    const OwnedHandle thread(started.hThread);
    OwnedHandle interrupts(CreateSemaphoreW(nullptr, 0, MOST_PENDING_INTERRUPTS,
                                            stop_semaphore_name(started.dwProcessId).c_str()));
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        interrupts.reset();  // another process's, whatever it counts: not this child's
    }
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        error = system_error(("starting " + arguments.front()).c_str());
        TerminateProcess(process.get(), 1);  // it never ran
        return nullptr;
    }
    // The write ends are the child's alone now: the reads end when it ends.
    return std::make_unique<WindowsChildProcess>(std::move(process), started.dwProcessId, std::move(interrupts),
                                                 std::move(output_read), std::move(error_read));
}

std::string own_program_path(const char* argv0) {
    const std::string fallback = argv0 != nullptr ? argv0 : "";
    std::wstring path(MAX_PATH, L'\0');
    // Long paths reach 32767 characters.
    for (DWORD capacity = MAX_PATH; capacity <= 32768; capacity *= 2) {
        path.resize(capacity);
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), capacity);
        if (length == 0) {
            return fallback;
        }
        if (length < capacity) {
            path.resize(length);
            BOOL lossy = FALSE;
            const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(),
                                                 static_cast<int>(length), nullptr, 0, nullptr, &lossy);
            if (size <= 0 || lossy) {
                return fallback;  // a character this code page does not hold
            }
            std::string converted(static_cast<std::size_t>(size), '\0');
            WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(), static_cast<int>(length),
                                converted.data(), size, nullptr, nullptr);
            return converted;
        }
    }
    return fallback;
}
