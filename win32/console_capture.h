#pragma once
// Everything the process prints to standard output and standard error, shown
// in the action log: the program has no console of its own.
#include <windows.h>

// Thread procedure, started once after the main window exists. Rebinds both
// streams to a pipe and copies what arrives into the log for the life of the
// process. Returns 0 only when the capture could not be set up or its pipe
// broke.
DWORD WINAPI console_capture_thread(LPVOID unused);

// Starts the capture thread; its handle is not kept.
void console_capture_start();
