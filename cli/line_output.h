#pragma once
// Whole lines out, each written with the bars moved below it: the log and the
// results on standard output, warnings and errors on standard error; or, for
// scripts, one JSON record per line on standard output.
#include <cstdio>
#include <string>

#include "cli/display_settings.h"
#include "cli/json_record.h"
#include "cli/terminal_bars.h"
#include "sequence/item_report.h"
#include "window/window_port.h"

class LineOutput {
public:
    // The settings, the environment and the bars outlive the output.
    LineOutput(const DisplaySettings& settings, const DisplayEnvironment& environment,
               TerminalBars& bars);

    bool json() const { return settings_.style == TerminalStyle::json; }

    // A line of the log as it completes.
    void log_line(const std::string& line);
    // A message box: the run's summary with the results, warnings and errors
    // on standard error.
    void message(const char* text, MessageIcon icon);
    // Where the run is, as the bars have it: a record in JSON, a line now and
    // then through a pipe (nothing more on a terminal, where the bars show it).
    void progress();
    // An item checked or a step of it ended (JSON only; a step beginning is
    // no record of its own).
    void item(const ItemEvent& event);
    // A notice to the user, on standard error or as a notice record.
    void notice(const char* text);

    // A line of the program's own result (list, versions, the table) on
    // standard output; in JSON mode, the record instead.
    void result(const std::string& text, const JsonRecord& record);
    // An error of the program's own (not the core's): standard error, or a
    // message record.
    void error(const std::string& text);
    // One USB request, for --verbose.
    void usb_detail(const std::string& text, const JsonRecord& record);

private:
    void write_line(std::FILE* stream, const std::string& line);
    void emit(const JsonRecord& record);
    // A line out; standard output's failure told to the environment.
    void flush(std::FILE* stream);

    const DisplaySettings& settings_;
    const DisplayEnvironment& environment_;
    TerminalBars& bars_;
};
