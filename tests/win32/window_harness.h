#pragma once
// The real main window for tests: the dialog from template 100 on this
// thread, the Win32 WindowPort, a simulated bus on a virtual clock, and a
// watcher that reads and closes the program's message boxes.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "win32/win32_window_port.h"
#include "sim/sim.h"

namespace win32_test {

// Loads the embedded image set and registers the common controls, once.
void load_program_images();

// Handles this thread's messages until done() holds or the limit passes (a
// safety net: a hung test fails instead of blocking the run). A quit message
// is counted, not acted on. True when done() held.
bool pump_until(const std::function<bool()>& done,
                std::chrono::steady_clock::duration limit = std::chrono::minutes(5));
// Handles every message already queued or sent.
void pump_pending();

// The window's text, and a control's.
std::string window_text(HWND window);
std::string control_text(HWND dialog, int id);

class MainWindowHarness {
  public:
    MainWindowHarness();
    ~MainWindowHarness();
    MainWindowHarness(const MainWindowHarness&) = delete;
    MainWindowHarness& operator=(const MainWindowHarness&) = delete;

    HWND window() const { return window_; }
    HWND item(int id) const { return GetDlgItem(window_, id); }
    HMENU system_menu() const { return GetSystemMenu(window_, FALSE); }
    std::string log() const { return control_text(window_, 114); }
    sim::SimBackend& bus() { return bus_; }
    sim::VirtualClock& clock() { return clock_; }

    // Plugs in an instrument holding the given contents, with instant timing.
    sim::Instrument& attach_instrument(sim::Contents contents);

    bool menu_item_grayed(int command) const;
    std::vector<std::string> combo_items() const;
    int combo_selection() const;
    // How many quit messages the pumps have taken off the queue.
    static int quit_messages_seen();

  private:
    sim::VirtualClock clock_;
    sim::InstalledVirtualClock installed_clock_{clock_};
    sim::SimBackend bus_{clock_};
    Win32WindowPort port_;
    HWND window_ = nullptr;
};

// Finds the program's message boxes (dialogs with its caption other than the
// main window) from a thread of its own, keeps their text and closes them.
// A box that may_close refuses (given its text and every text shown so far)
// stays open until it agrees.
class MessageBoxWatcher {
  public:
    using ClosingRule =
        std::function<bool(const std::string& text, const std::vector<std::string>& shown)>;
    explicit MessageBoxWatcher(HWND main_window, ClosingRule may_close = nullptr);
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    std::vector<std::string> texts() const;
    std::size_t count() const;
    bool seen(const std::string& text) const;

  private:
    void watch();
    void handle(HWND box);
    void forget_closed_boxes();

    HWND main_window_;
    ClosingRule may_close_;
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    std::set<HWND> recorded_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace win32_test
