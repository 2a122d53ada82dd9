#pragma once
// The action log: fragments appended to the window's log control.
//
// Appends from different threads are not locked against each other: each
// call's messages are carried out in order by the window's thread, but a
// fragment from the console capture may land between a label and its outcome
// word. A lock here could deadlock: a thread holding it waits on the window's
// thread, which may itself be inside a command waiting for the lock.

// The log's size bound: once an append would pass it, the oldest block goes.
constexpr unsigned LOG_TEXT_LIMIT = 4096;
constexpr int LOG_TRIM_SIZE = 1024;

// Appends text at the end of the log (trimming once when it would pass the
// limit); never adds a line break.
void log_append(const char* text);

// Writes "\r\n" at the caret, which every append leaves at the end.
void log_end_line();
