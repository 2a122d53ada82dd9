// The demo executable as a user starts it: start-up shows the window with the
// show command it was given, and "Exit" ends the process with exit code 0,
// idle, after a run, and in the middle of one.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "window/window_port.h"
#include "win32/window_harness.h"

namespace {

using win32_test::window_text;

// Safety limits only: nothing here waits on the instrument's own timing.
constexpr auto START_LIMIT = std::chrono::seconds(60);
constexpr auto RUN_LIMIT = std::chrono::minutes(5);
constexpr DWORD EXIT_LIMIT_MS = 60'000;
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);

std::string demo_path() {
    char test_path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, test_path, MAX_PATH);
    std::string path = test_path;
    path.resize(path.find_last_of("\\/") + 1);
    path += OMBRIX_DEMO_RELATIVE_PATH;
    return path;
}

template <typename Condition>
bool wait_until(Condition condition, std::chrono::steady_clock::duration limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    return true;
}

class DemoProcess {
  public:
    explicit DemoProcess(WORD show_command) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = show_command;
        std::string command_line(1, '"');
        command_line += demo_path();
        command_line += '"';
        started_ = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &process_) != 0;
    }
    ~DemoProcess() {
        if (!started_) {
            return;
        }
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, EXIT_LIMIT_MS);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    DemoProcess(const DemoProcess&) = delete;
    DemoProcess& operator=(const DemoProcess&) = delete;

    bool started() const { return started_; }

    // The main window once the first refresh has listed the instrument.
    HWND ready_window() {
        wait_until([&] { return program_enabled(main_window()); }, START_LIMIT);
        return main_window();
    }

    // A visible dialog of the process with the program's caption, other than `except`.
    HWND find_dialog(HWND except) const {
        Search search{process_.dwProcessId, except, nullptr};
        EnumWindows(
            [](HWND window, LPARAM parameter) -> BOOL {
                auto& wanted = *reinterpret_cast<Search*>(parameter);
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                char class_name[16] = {};
                GetClassNameA(window, class_name, sizeof class_name);
                if (owner != wanted.process || window == wanted.except ||
                    std::string(class_name) != "#32770" || window_text(window) != APP_TITLE ||
                    !IsWindowVisible(window)) {
                    return TRUE;
                }
                wanted.found = window;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    HWND main_window() const { return find_dialog(nullptr); }

    static bool program_enabled(HWND window) {
        return window != nullptr && IsWindowEnabled(GetDlgItem(window, IDC_PROGRAM));
    }

    // The exit code, or nullopt when the process did not end.
    std::optional<DWORD> exit_code() {
        if (WaitForSingleObject(process_.hProcess, EXIT_LIMIT_MS) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

  private:
    struct Search {
        DWORD process;
        HWND except;
        HWND found;
    };

    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

TEST(DemoProgram, ShowsTheWindowAsStartedAndExitEndsItWithCodeZero) {
    DemoProcess demo(SW_SHOWMINNOACTIVE);
    ASSERT_TRUE(demo.started()) << demo_path();
    HWND window = demo.ready_window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsIconic(window));
    PostMessageA(window, WM_COMMAND, IDC_EXIT, 0);
    EXPECT_EQ(demo.exit_code(), std::optional<DWORD>(0));
}

TEST(DemoProgram, ExitAfterACheckRunEndsItWithCodeZero) {
    DemoProcess demo(SW_SHOWNORMAL);
    ASSERT_TRUE(demo.started());
    HWND window = demo.ready_window();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsIconic(window));
    PostMessageA(window, WM_SYSCOMMAND, IDM_VERIFY_CONTENTS, 0);
    HWND summary = nullptr;
    ASSERT_TRUE(
        wait_until([&] { return (summary = demo.find_dialog(window)) != nullptr; }, RUN_LIMIT));
    PostMessageA(summary, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return DemoProcess::program_enabled(window); }, RUN_LIMIT));
    PostMessageA(window, WM_COMMAND, IDC_EXIT, 0);
    EXPECT_EQ(demo.exit_code(), std::optional<DWORD>(0));
}

TEST(DemoProgram, ExitInTheMiddleOfARunEndsItWithCodeZero) {
    DemoProcess demo(SW_SHOWNORMAL);
    ASSERT_TRUE(demo.started());
    HWND window = demo.ready_window();
    ASSERT_NE(window, nullptr);
    PostMessageA(window, WM_COMMAND, IDC_PROGRAM, 0);
    // The worker disables "Program" while it runs.
    ASSERT_TRUE(wait_until([&] { return !DemoProcess::program_enabled(window); }, RUN_LIMIT));
    PostMessageA(window, WM_COMMAND, IDC_EXIT, 0);
    EXPECT_EQ(demo.exit_code(), std::optional<DWORD>(0));
}

}  // namespace
