#pragma once
// Diagnostics of the USB layer and its backends: lines that say why a device
// class or an interface was left out of a listing. By default they go to
// standard output, which the Windows program shows in its log; a front end
// whose standard output carries results sends them elsewhere.

// Receives one diagnostic line, without its line end.
using UsbDiagnosticSink = void (*)(const char* line);

// Hands one line (without its line end) to the installed sink.
void usb_diagnostic(const char* line);

// Installs the sink every later diagnostic goes to; nullptr restores the
// default, which writes the line and a line end to standard output.
void usb_diagnostic_sink_install(UsbDiagnosticSink sink);
