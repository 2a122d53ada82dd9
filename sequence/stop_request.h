#pragma once
// A stop asked for from outside the window (the command line's first SIGINT,
// SIGTERM or SIGHUP). The worker stops at the next point that a later run
// repairs: between two checks, after the flash operation in progress (a
// region erased but not written is found out of date), before the boot
// EEPROM or a supply (whose steps, once begun, end as they always do).
// Async-signal-safe. The request stays until cleared.
void worker_request_stop();
bool worker_stop_requested();
void worker_clear_stop();
