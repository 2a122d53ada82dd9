#include "win32/window_harness.h"

#include <commctrl.h>

#include <chrono>

#include "window/window_port.h"
#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "images/images.h"
#include "win32/dialog.h"
#include "resources/embedded_image_set.h"
#include "sim/loaded_images.h"

namespace win32_test {

namespace {

constexpr DWORD PUMP_IDLE_WAIT_MS = 5;
constexpr auto WATCH_INTERVAL = std::chrono::milliseconds(5);
constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;

std::atomic<int> quit_messages{0};

bool handle_one_message() {
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        return false;
    }
    if (message.message == WM_QUIT) {
        ++quit_messages;
        return true;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return true;
}

}  // namespace

void load_program_images() {
    static const bool loaded = [] {
        InitCommonControls();
        // A refusal would go to the port installed by nobody: the test then fails
        // on the empty versions instead.
        return startup_load_images(embedded_image_source(), window_port());
    }();
    (void)loaded;
}

void pump_pending() {
    while (handle_one_message()) {
    }
}

bool pump_until(const std::function<bool()>& done, std::chrono::steady_clock::duration limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        pump_pending();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, PUMP_IDLE_WAIT_MS, QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

std::string window_text(HWND window) {
    const int length = GetWindowTextLengthA(window);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

std::string control_text(HWND dialog, int id) {
    return window_text(GetDlgItem(dialog, id));
}

MainWindowHarness::MainWindowHarness() {
    load_program_images();
    window_port_install(&port_);
    usb_install_backend(&bus_);
    window_ = main_window_create(GetModuleHandleA(nullptr));
}

MainWindowHarness::~MainWindowHarness() {
    // A worker still running reports to the window: keep it answered.
    pump_until([] { return !worker_busy(); });
    worker_wait();
    if (IsWindow(window_)) {
        DestroyWindow(window_);
    }
    pump_pending();
    device_list_release();
    usb_install_backend(nullptr);
    window_port_install(nullptr);
}

sim::Instrument& MainWindowHarness::attach_instrument(sim::Contents contents) {
    sim::InstrumentConfig config;
    config.device_number = 1;
    config.timing = sim::Timing::instant();
    config.initial = sim::InitialState::all(contents);
    config.record_bulk_data = false;
    return bus_.attach(config, sim::loaded_image_set());
}

bool MainWindowHarness::menu_item_grayed(int command) const {
    const UINT state = GetMenuState(system_menu(), static_cast<UINT>(command), MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & MF_GRAYED) != 0;
}

std::vector<std::string> MainWindowHarness::combo_items() const {
    HWND combo = item(IDC_DEVICE_COMBO);
    std::vector<std::string> items;
    const auto count = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        const auto length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<std::size_t>(length));
        items.push_back(text);
    }
    return items;
}

int MainWindowHarness::combo_selection() const {
    return static_cast<int>(SendMessageA(item(IDC_DEVICE_COMBO), CB_GETCURSEL, 0, 0));
}

int MainWindowHarness::quit_messages_seen() {
    return quit_messages.load();
}

MessageBoxWatcher::MessageBoxWatcher(HWND main_window, ClosingRule may_close)
    : main_window_(main_window), may_close_(std::move(may_close)), thread_([this] { watch(); }) {}

MessageBoxWatcher::~MessageBoxWatcher() {
    stop_ = true;
    thread_.join();
}

std::vector<std::string> MessageBoxWatcher::texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
}

std::size_t MessageBoxWatcher::count() const {
    std::lock_guard lock(mutex_);
    return texts_.size();
}

bool MessageBoxWatcher::seen(const std::string& text) const {
    std::lock_guard lock(mutex_);
    for (const std::string& shown : texts_) {
        if (shown == text) {
            return true;
        }
    }
    return false;
}

void MessageBoxWatcher::watch() {
    while (!stop_) {
        EnumWindows(
            [](HWND window, LPARAM self) -> BOOL {
                reinterpret_cast<MessageBoxWatcher*>(self)->handle(window);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(this));
        forget_closed_boxes();
        std::this_thread::sleep_for(WATCH_INTERVAL);
    }
}

// A handle may come back for a later box once its own is gone.
void MessageBoxWatcher::forget_closed_boxes() {
    std::lock_guard lock(mutex_);
    std::erase_if(recorded_, [](HWND box) { return !IsWindow(box); });
}

void MessageBoxWatcher::handle(HWND box) {
    char class_name[16] = {};
    GetClassNameA(box, class_name, sizeof class_name);
    DWORD owner = 0;
    GetWindowThreadProcessId(box, &owner);
    if (owner != GetCurrentProcessId() || box == main_window_ ||
        std::string(class_name) != "#32770" || !IsWindowVisible(box) ||
        window_text(box) != APP_TITLE) {
        return;
    }
    const std::string text = control_text(box, MESSAGE_BOX_TEXT_ID);
    {
        std::lock_guard lock(mutex_);
        if (recorded_.insert(box).second) {
            texts_.push_back(text);
        }
    }
    if (!may_close_ || may_close_(text, texts())) {
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
}

}  // namespace win32_test
