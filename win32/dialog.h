#pragma once
// The main window: dialog template 100 and its dialog procedure.
#include <windows.h>

// The controls other threads reach the window through. Written once while the
// dialog is initialised, before any other thread starts; read-only afterwards.
struct MainWindowControls {
    HWND window = nullptr;
    HWND log = nullptr;               // 114
    HWND device_combo = nullptr;      // 105
    HWND refresh_button = nullptr;    // 106
    HWND program_button = nullptr;    // 110
    HWND overall_progress = nullptr;  // 112
    HWND task_progress = nullptr;     // 113
    HMENU system_menu = nullptr;
};

const MainWindowControls& main_window_controls();

INT_PTR CALLBACK main_dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Creates the modeless main window from template 100, with no parent; nullptr
// when it cannot be created.
HWND main_window_create(HINSTANCE instance);
