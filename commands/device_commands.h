#pragma once
// The window's device commands: "Program", "Verify contents", "FPGA Halt",
// "Power-cycle" and "Refresh". They run on the window's thread; only the programming
// itself runs on the worker thread, one at a time.
#include <functional>
#include <thread>

#include "sequence/run_outcome.h"

// Restarts the listed instrument at index and starts the worker on it.
// 1 when a worker was started or the device failed to open, else 0. The
// outcome, when given, tells how the run ended once the worker has (a run that
// never reached the worker ends as failed, with no item named).
int program_command(int index, int program_mode, RunOutcome* outcome = nullptr);

// Brings back an instrument whose USB controller runs no firmware (its boot
// EEPROM holds no boot image): loads the carried firmware into the bare
// controller at the path with the firmware-load request, waits for the
// instrument to appear at the same path, and starts the worker in program
// mode on it without the restart, which would start the controller from its
// EEPROM again. The worker rewrites the EEPROM with whatever else is out of
// date. 1 when a worker was started; 0 otherwise, the reason logged and shown
// in a message box (a controller that does not come back as the instrument
// has nothing written to it).
int recover_command(const char* bare_controller_path, RunOutcome* outcome = nullptr);

// Sends the FPGA halt (halt 1) or the power-cycle request (halt 0).
// 1 when sent or when the device failed to open; 0 when busy or no device.
// sent, when given, says whether the requests went out.
int device_power_command(int index, int halt, bool* sent = nullptr);

// "Refresh": rebuilds the device list. Refused like the other commands while
// a worker runs: the worker holds a record of the list and refreshes it
// itself when it ends. 1 when refreshed, 0 when refused.
int refresh_command();

// True while a worker started by program_command is still running.
bool worker_busy();
// Waits until the last worker has ended (front ends without a message loop).
void worker_wait();

// Starts the worker's thread running body; false when the thread could not be
// created. The default makes a std::thread; a test installs one that fails
// (nullptr restores the default).
using WorkerThreadStarter = bool (*)(std::thread& thread, std::function<void()> body);
void worker_thread_starter_install(WorkerThreadStarter starter);

// Refreshes between the restart polls while the instrument leaves and comes back.
constexpr int RESTART_REFRESHES = 40;
constexpr unsigned RESTART_REFRESH_PAUSE_MS = 250;
