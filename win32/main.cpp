// Start-up of the Windows program: the embedded images, the main window, the
// console capture and the message loop.
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>

#include "window/window_port.h"
#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "images/images.h"
#include "win32/console_capture.h"
#include "win32/dialog.h"
#include "win32/platform_backend.h"
#include "win32/win32_window_port.h"
#include "resources/embedded_image_set.h"

namespace {

// The show command the process was started with, else the default one.
int startup_show_command() {
    STARTUPINFOA info{};
    info.cb = sizeof info;
    GetStartupInfoA(&info);
    return (info.dwFlags & STARTF_USESHOWWINDOW) != 0 ? info.wShowWindow : SW_SHOWDEFAULT;
}

// Runs until the main window is destroyed; the quit message's exit code.
// Messages do not pass the dialog manager, so Tab does not move the focus.
int run_message_loop() {
    MSG message{};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

// "Exit" ends the program at once: a worker still running stops with the
// process, neither waited for nor left running while the statics it uses
// are destroyed.
int leave(int exit_code) {
    if (worker_busy()) {
        std::_Exit(exit_code);
    }
    worker_wait();
    device_list_release();
    usb_install_backend(nullptr);
    clock_install(nullptr);
    window_port_install(nullptr);
    return exit_code;
}

}  // namespace

// The command line is not used; the show command comes from the start-up information.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR, int) {
    if (previous_instance != nullptr) {
        return 1;
    }
    InitCommonControls();

    static Win32WindowPort window;
    if (!startup_load_images(embedded_image_source(), window)) {
        return 1;
    }
    window_port_install(&window);
    clock_install(&platform_clock());
    usb_install_backend(&platform_usb_backend());

    HWND main_window = main_window_create(instance);
    if (main_window == nullptr) {
        return 1;
    }
    console_capture_start();
    ShowWindow(main_window, startup_show_command());
    UpdateWindow(main_window);
    return leave(run_message_loop());
}
