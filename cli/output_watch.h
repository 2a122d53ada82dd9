#pragma once
// Whether what the program writes gets through: standard output and the
// trace file. The first write that fails asks the run to stop at its next
// safe point (a write to the instrument is never cut); the end reports it and
// the program exits with status 1. A pipe whose reader has gone is no
// failure: a closed output only ends the output.
#include <atomic>
#include <string>

class UsbTraceRecorder;

class OutputWatch {
public:
    // The trace file to watch, under its name; nullptr: none.
    void watch_trace(const UsbTraceRecorder* trace, const std::string& path);
    // A write to standard output failed with this errno (any thread).
    void output_failed(int error_number);
    // Looks again; true once a write has failed.
    bool check();
    // "Cannot write the trace file t.pcap: No space left on device", or "".
    const std::string& failure() const { return failure_; }

private:
    void failed(std::string text);

    const UsbTraceRecorder* trace_ = nullptr;
    std::string trace_path_;
    std::string failure_;
    std::atomic<int> output_errno_{0};
};
