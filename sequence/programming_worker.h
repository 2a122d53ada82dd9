#pragma once
// The worker that takes one opened instrument from the flash core upload
// through the checks to the end of programming.
#include <span>

#include "device/usb.h"
#include "sequence/item_table.h"
#include "sequence/run_messages.h"
#include "sequence/run_outcome.h"
#include "sequence/stop_request.h"

struct WorkerRequest {
    UsbDevice* device = nullptr;
    int program_mode = 0;  // non-zero: program; 0: check only
    // Filled as the run goes, when given; read once the worker has ended.
    RunOutcome* outcome = nullptr;
    // The items to check and rewrite: the instrument's, unless a test brings its own.
    std::span<const ItemRow> items = item_table();
};

// The thread procedure: copies the request first, always ends with the end
// sequence (controls enabled, device closed, list refreshed). Returns 0.
int ProgrammingWorker(const WorkerRequest* request);
