// The main window's dialog procedure: initialisation, command dispatch, white
// backgrounds.
#include "win32/dialog.h"

#include <commctrl.h>

#include <cstdio>

#include "window/window_port.h"
#include "commands/device_commands.h"
#include "images/images.h"

namespace {

constexpr COLORREF WHITE = RGB(255, 255, 255);

MainWindowControls controls;
HBRUSH white_brush = nullptr;

HWND control(HWND window, int id) {
    return GetDlgItem(window, id);
}

void set_window_icon(HWND window) {
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN));
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
}

void keep_control_handles(HWND window) {
    controls.window = window;
    controls.log = control(window, IDC_ACTION_LOG);
    controls.device_combo = control(window, IDC_DEVICE_COMBO);
    controls.refresh_button = control(window, IDC_REFRESH);
    controls.program_button = control(window, IDC_PROGRAM);
    controls.overall_progress = control(window, IDC_OVERALL_PROGRESS);
    controls.task_progress = control(window, IDC_TASK_PROGRESS);
}

void reset_progress_bar(HWND bar) {
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, PROGRESS_RANGE_MAX));
    SendMessageA(bar, PBM_SETPOS, 0, 0);
}

void show_available_versions(HWND window) {
    const AvailableVersions versions = available_versions();
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(versions.fpga_revision));
    SetDlgItemTextA(window, IDC_FPGA_REVISION, text);
    std::snprintf(text, sizeof text, "%d", static_cast<int>(versions.firmware_revision));
    SetDlgItemTextA(window, IDC_FIRMWARE_REVISION, text);
    SetDlgItemTextA(window, IDC_USB_REVISION, versions.usb_revision);
    SetDlgItemTextA(window, IDC_POWER_REVISION, versions.power_revision);
}

// Each goes before "Close", so the menu ends with them, a separator and "Close".
void add_system_menu_commands(HWND window) {
    controls.system_menu = GetSystemMenu(window, FALSE);
    HMENU menu = controls.system_menu;
    InsertMenuA(menu, SC_CLOSE, MF_BYCOMMAND | MF_STRING, IDM_VERIFY_CONTENTS, "Verify contents");
    InsertMenuA(menu, SC_CLOSE, MF_BYCOMMAND | MF_STRING, IDM_FPGA_HALT, "FPGA Halt");
    InsertMenuA(menu, SC_CLOSE, MF_BYCOMMAND | MF_STRING, IDM_POWER_CYCLE, "Power-cycle");
    InsertMenuA(menu, SC_CLOSE, MF_BYCOMMAND | MF_SEPARATOR, 0, nullptr);
}

void initialise(HWND window) {
    set_window_icon(window);
    keep_control_handles(window);
    reset_progress_bar(controls.overall_progress);
    reset_progress_bar(controls.task_progress);
    show_available_versions(window);
    add_system_menu_commands(window);
    // The first refresh runs from the message loop, once the window is shown.
    PostMessageA(window, WM_COMMAND, IDC_REFRESH, 0);
}

// The combo box's selection, or -1. The commands themselves refuse while a
// worker runs before they read the device list (the worker's closing refresh
// rewrites it on its own thread), and treat an index the list does not hold
// as no device; so the window reads nothing of the list here.
int device_for_command() {
    return static_cast<int>(SendMessageA(controls.device_combo, CB_GETCURSEL, 0, 0));
}

void on_command(HWND window, int id) {
    switch (id) {
        case IDC_REFRESH:
            refresh_command();
            break;
        case IDC_PROGRAM:
            if (const int index = device_for_command(); index >= 0) {
                program_command(index, 1);
            }
            break;
        case IDC_EXIT:
            DestroyWindow(window);
            break;
        default:
            break;
    }
}

// True when the command was one of the window's own.
bool on_system_command(HWND window, WPARAM wparam) {
    if (wparam == SC_CLOSE) {
        DestroyWindow(window);
        return true;
    }
    const int command = LOWORD(wparam);
    if (command != IDM_FPGA_HALT && command != IDM_POWER_CYCLE && command != IDM_VERIFY_CONTENTS) {
        return false;
    }
    const int index = device_for_command();
    if (index < 0) {
        return true;
    }
    if (command == IDM_VERIFY_CONTENTS) {
        program_command(index, 0);
    } else {
        device_power_command(index, command == IDM_FPGA_HALT ? 1 : 0);
    }
    return true;
}

INT_PTR paint_white(HDC context) {
    if (white_brush == nullptr) {
        white_brush = CreateSolidBrush(WHITE);
    }
    SetBkColor(context, WHITE);
    return reinterpret_cast<INT_PTR>(white_brush);
}

void on_destroy() {
    if (white_brush != nullptr) {
        DeleteObject(white_brush);
        white_brush = nullptr;
    }
    PostQuitMessage(0);
}

}  // namespace

const MainWindowControls& main_window_controls() {
    return controls;
}

INT_PTR CALLBACK main_dialog_procedure(HWND window, UINT message, WPARAM wparam,
                                       [[maybe_unused]] LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG:
            initialise(window);
            return TRUE;
        case WM_COMMAND:
            on_command(window, LOWORD(wparam));
            return TRUE;
        case WM_SYSCOMMAND:
            return on_system_command(window, wparam) ? TRUE : FALSE;
        case WM_SIZE:
        case WM_SIZING:
            return TRUE;
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            return paint_white(reinterpret_cast<HDC>(wparam));
        case WM_DESTROY:
            on_destroy();
            return TRUE;
        default:
            return FALSE;
    }
}

HWND main_window_create(HINSTANCE instance) {
    return CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, main_dialog_procedure,
                              0);
}
