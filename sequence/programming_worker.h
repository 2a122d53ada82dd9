#pragma once
// The worker that takes one opened instrument from the flash core upload
// through the checks to the end of programming.
#include "device/usb.h"

struct WorkerRequest {
    UsbDevice* device = nullptr;
    int program_mode = 0;  // non-zero: program; 0: check only
};

// What the check phase found: image_verify results for the flash regions
// (positive: up to date, 0: differs) and 1 / 0 for the other items.
struct CheckResults {
    int firmware = 0;
    int bitstream = 0;
    int factory_firmware = 0;
    int factory_bitstream = 0;
    int configuration_sequence = 0;
    int usb_firmware = 0;
    int power_supply_a = 0;
    int power_supply_b = 0;

    bool all_up_to_date() const {
        return firmware != 0 && bitstream != 0 && factory_firmware != 0 && factory_bitstream != 0 &&
               configuration_sequence != 0 && usb_firmware != 0 && power_supply_a != 0 &&
               power_supply_b != 0;
    }
};

// The thread procedure: copies the request first, always ends with the end
// sequence (controls enabled, device closed, list refreshed). Returns 0.
int ProgrammingWorker(const WorkerRequest* request);

// The check phase; false when it ended the run (a failed upload or a flash
// comparison that could not be completed, its message already shown).
bool check_phase(UsbDevice* device, bool program_mode, CheckResults& results);

// Rewrites what the check phase found out of date, in the fixed order, and
// ends with the final summary or the message of the first failure.
void programming_phase(UsbDevice* device, CheckResults& results);

inline constexpr const char* SUMMARY_UP_TO_DATE =
    "All the internal firmwares are up to date.\r\n"
    "Please power-cycle the device to resume normal operation.";

// A stop asked for from outside the window (the command line's first SIGINT,
// SIGTERM or SIGHUP). The worker stops at the next point that a later run
// repairs: between two checks, after the flash operation in progress (a
// region erased but not written is found out of date), before the boot
// EEPROM or a supply (whose steps, once begun, end as they always do). It logs
// "Stopped on request." and says what was not done in a warning message.
// Async-signal-safe. The request stays until cleared.
void worker_request_stop();
bool worker_stop_requested();
void worker_clear_stop();

// Ends the run here when a stop was asked for; next_item names what is left
// undone ("bitstream", "USB firmware"), or nullptr before anything was written.
bool worker_stops_here(const char* next_item);

inline constexpr const char* STOPPED_LOG = "Stopped on request.";
inline constexpr const char* STOPPED_BEFORE_WRITING =
    "The run was stopped before anything was written; the device holds what it held "
    "before.\r\nRun the command again to complete it.";
