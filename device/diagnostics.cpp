#include "device/diagnostics.h"

#include <cstdio>

namespace {

void write_to_standard_output(const char* line) { std::printf("%s\n", line); }

UsbDiagnosticSink installed_sink = write_to_standard_output;

}  // namespace

void usb_diagnostic(const char* line) { installed_sink(line != nullptr ? line : ""); }

void usb_diagnostic_sink_install(UsbDiagnosticSink sink) {
    installed_sink = sink != nullptr ? sink : write_to_standard_output;
}
