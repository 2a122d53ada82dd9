#include "win32/win32_window_port.h"

#include <windows.h>

#include <commctrl.h>

#include "win32/dialog.h"

namespace {

const MainWindowControls& controls() {
    return main_window_controls();
}

HWND control_handle(int control) {
    switch (control) {
        case IDC_OVERALL_PROGRESS:
            return controls().overall_progress;
        case IDC_TASK_PROGRESS:
            return controls().task_progress;
        case IDC_PROGRAM:
            return controls().program_button;
        case IDC_REFRESH:
            return controls().refresh_button;
        default:
            return nullptr;
    }
}

LRESULT send_to_log(UINT message, WPARAM wparam, LPARAM lparam) {
    return SendMessageA(controls().log, message, wparam, lparam);
}

LRESULT send_to_combo(UINT message, WPARAM wparam, LPARAM lparam) {
    return SendMessageA(controls().device_combo, message, wparam, lparam);
}

}  // namespace

std::uint32_t Win32WindowPort::log_text_length() {
    return static_cast<std::uint32_t>(send_to_log(WM_GETTEXTLENGTH, 0, 0));
}

// Negative positions pass as the large unsigned values the control clamps.
void Win32WindowPort::log_set_selection(int start, int end) {
    send_to_log(EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
}

void Win32WindowPort::log_replace_selection(const char* text) {
    send_to_log(EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void Win32WindowPort::log_set_text(const char* text) {
    send_to_log(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// The operations report every page; most reports leave the bar where it is,
// and each message to the window's thread costs a thread switch.
void Win32WindowPort::progress_set(int control, std::uint32_t position) {
    std::atomic<std::uint32_t>* shown = control == IDC_OVERALL_PROGRESS ? &overall_shown_
                                        : control == IDC_TASK_PROGRESS  ? &task_shown_
                                                                        : nullptr;
    if (shown == nullptr || shown->exchange(position) == position) {
        return;
    }
    SendMessageA(control_handle(control), PBM_SETPOS, position, 0);
}

void Win32WindowPort::control_enable(int control, bool enabled) {
    if (HWND handle = control_handle(control); handle != nullptr) {
        EnableWindow(handle, enabled ? TRUE : FALSE);
    }
}

void Win32WindowPort::menu_item_enable(int command, bool enabled) {
    EnableMenuItem(controls().system_menu, static_cast<UINT>(command),
                   MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

void Win32WindowPort::device_combo_reset() {
    send_to_combo(CB_RESETCONTENT, 0, 0);
}

void Win32WindowPort::device_combo_append(const char* text) {
    send_to_combo(CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text));
}

void Win32WindowPort::device_combo_select(int index) {
    send_to_combo(CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32WindowPort::device_combo_selection() {
    return static_cast<int>(send_to_combo(CB_GETCURSEL, 0, 0));
}

void Win32WindowPort::message_box(const char* text, MessageIcon icon) {
    MessageBoxA(nullptr, text, APP_TITLE, MB_OK | static_cast<UINT>(icon));
}
