#pragma once
// The first SIGINT, SIGTERM or SIGHUP asks the worker to stop where the next
// run repairs (no write is cut in half); the run then ends with exit status
// 130. A second one ends the program at once. SIGPIPE is ignored: a closed
// output only ends the output, never a write to the instrument.
void install_signal_handlers();
