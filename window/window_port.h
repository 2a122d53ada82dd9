#pragma once
// The window as the core sees it: control identifiers, message-box icons, and
// the WindowPort through which every subsystem reaches the window.
#include <cstdint>

constexpr const char* APP_TITLE = "Ombrix Firmware Upgrade Utility";

// Control and command identifiers of the main window.
constexpr int IDD_MAIN = 100;
constexpr int IDC_FPGA_REVISION = 101;
constexpr int IDC_FIRMWARE_REVISION = 102;
constexpr int IDC_USB_REVISION = 103;
constexpr int IDC_POWER_REVISION = 104;
constexpr int IDC_DEVICE_COMBO = 105;
constexpr int IDC_REFRESH = 106;
constexpr int IDM_FPGA_HALT = 107;
constexpr int IDM_POWER_CYCLE = 108;
constexpr int IDM_VERIFY_CONTENTS = 109;
constexpr int IDC_PROGRAM = 110;
constexpr int IDC_EXIT = 111;
constexpr int IDC_OVERALL_PROGRESS = 112;
constexpr int IDC_TASK_PROGRESS = 113;
constexpr int IDC_ACTION_LOG = 114;
constexpr int IDB_LOGO = 200;
constexpr int IDI_MAIN = 300;
constexpr int IDC_ACTION_LOG_LABEL = 901;

// Both progress bars run from 0 to 129; the program sets positions 0 to 128.
constexpr int PROGRESS_RANGE_MAX = 129;
constexpr int PROGRESS_FULL = 128;

enum class MessageIcon : unsigned {
    error = 0x10,
    warning = 0x30,
    information = 0x40,
};

// Everything the core does to the window, and nothing more. The Win32 port
// sends synchronous window messages, so calls from any thread are carried out
// by the window's thread, in order.
class WindowPort {
public:
    virtual ~WindowPort() = default;

    // The action log (an edit control): WM_GETTEXTLENGTH, EM_SETSEL,
    // EM_REPLACESEL, WM_SETTEXT.
    virtual std::uint32_t log_text_length() = 0;
    virtual void log_set_selection(int start, int end) = 0;
    virtual void log_replace_selection(const char* text) = 0;
    virtual void log_set_text(const char* text) = 0;

    // PBM_SETPOS on the overall (112) or current-task (113) bar.
    virtual void progress_set(int control, std::uint32_t position) = 0;

    // "Program" (110) and "Refresh" (106) buttons; system-menu items 107 to 109.
    virtual void control_enable(int control, bool enabled) = 0;
    virtual void menu_item_enable(int command, bool enabled) = 0;

    // The device combo box (105).
    virtual void device_combo_reset() = 0;
    virtual void device_combo_append(const char* text) = 0;
    virtual void device_combo_select(int index) = 0;
    virtual int device_combo_selection() = 0;

    // A message box with no owner and the program's caption; returns when closed.
    virtual void message_box(const char* text, MessageIcon icon) = 0;
};

// The window the core reports to; installed by the front end (nullptr installs
// a port that discards everything).
void window_port_install(WindowPort* port);
WindowPort& window_port();

inline void progress_overall(std::uint32_t position) {
    window_port().progress_set(IDC_OVERALL_PROGRESS, position);
}
inline void progress_task(std::uint32_t position) {
    window_port().progress_set(IDC_TASK_PROGRESS, position);
}
