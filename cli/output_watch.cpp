#include "cli/output_watch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "device/usb_trace.h"
#include "sequence/stop_request.h"

#if defined(_WIN32)
#include <io.h>
#define fileno _fileno
#endif

namespace {

// A pipe or a socket: a failed write there is the reader going away.
bool output_is_pipe() {
    struct stat status {};
    if (fstat(fileno(stdout), &status) != 0) {
        return false;
    }
#if defined(_WIN32)
    return (status.st_mode & _S_IFIFO) != 0;
#else
    return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
#endif
}

std::string reason(int error_number) {
    return error_number != 0 ? std::strerror(error_number) : "the write failed";
}

}  // namespace

void OutputWatch::watch_trace(const UsbTraceRecorder* trace, const std::string& path) {
    if (trace_ != nullptr && trace == nullptr) {
        check();  // the last records of the trace count too
    }
    trace_ = trace;
    trace_path_ = path;
}

void OutputWatch::output_failed(int error_number) {
    int none = 0;
    output_errno_.compare_exchange_strong(none, error_number);
}

bool OutputWatch::check() {
    if (!failure_.empty()) {
        return true;
    }
    if (std::ferror(stdout) != 0 && !output_is_pipe()) {
        failed("Cannot write the standard output: " + reason(output_errno_.load()));
    } else if (trace_ != nullptr && !trace_->healthy()) {
        failed("Cannot write the trace file " + trace_path_ + ": " + reason(trace_->failure_errno()));
    }
    return !failure_.empty();
}

void OutputWatch::failed(std::string text) {
    failure_ = std::move(text);
    worker_request_stop();
}
