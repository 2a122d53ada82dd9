#include "cli/line_output.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "cli/instrument_words.h"
#include "cli/run_report.h"

namespace {

const char* severity_name(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::error: return "error";
        case MessageIcon::warning: return "warning";
        default: return "information";
    }
}

// Message texts break lines with "\r\n", as the window shows them.
std::string without_returns(const std::string& text) {
    std::string out;
    std::copy_if(text.begin(), text.end(), std::back_inserter(out), [](char c) { return c != '\r'; });
    return out;
}

// A bar's position as the window shows it: one past the end shows the bar full.
long long bar_position(std::uint32_t position) {
    return static_cast<long long>(std::min<std::uint32_t>(position, PROGRESS_FULL));
}

JsonRecord item_record(const ItemEvent& event) {
    JsonRecord record("item");
    record.add("item", json_identifier(work_item_name(event.item)))
        .add("phase", item_phase_name(event.phase))
        .add("outcome", json_identifier(item_outcome_name(event.outcome)));
    if (!event.installed_revision.empty()) {
        const std::optional<std::string> readable = readable_revision(event.installed_revision);
        if (readable) {
            record.add("installed", *readable);
        } else {
            record.add_json("installed", "null");
        }
    }
    return record;
}

}  // namespace

LineOutput::LineOutput(const DisplaySettings& settings, const DisplayEnvironment& environment,
                       TerminalBars& bars)
    : settings_(settings), environment_(environment), bars_(bars) {}

void LineOutput::log_line(const std::string& core_line) {
    if (settings_.quiet) {
        return;
    }
    const std::string line = in_instrument_words(core_line);
    if (json()) {
        emit(JsonRecord("log").add("text", line));
        return;
    }
    write_line(environment_.out, line);
}

void LineOutput::message(const char* text, MessageIcon icon) {
    const std::string shown = in_instrument_words(without_returns(text));
    if (json()) {
        emit(JsonRecord("message").add("severity", severity_name(icon)).add("text", shown));
        return;
    }
    if (icon == MessageIcon::information) {
        write_line(environment_.out, shown);
    } else {
        write_line(environment_.err, std::string(severity_name(icon)) + ": " + shown);
    }
}

void LineOutput::progress() {
    if (settings_.quiet) {
        return;
    }
    if (json()) {
        emit(JsonRecord("progress")
                 .add("percent", bars_.percent())
                 .add("overall", bar_position(bars_.overall()))
                 .add("task", bar_position(bars_.task())));
        return;
    }
    if (settings_.style == TerminalStyle::plain) {
        const std::string line = bars_.due_progress_line();
        if (!line.empty()) {
            write_line(environment_.out, line);
        }
    }
}

void LineOutput::item(const ItemEvent& event) {
    if (!json() || settings_.quiet || event.outcome == ItemOutcome::started) {
        return;
    }
    emit(item_record(event));
}

void LineOutput::notice(const char* text) {
    if (settings_.quiet) {
        return;
    }
    if (json()) {
        emit(JsonRecord("notice").add("text", text));
    } else {
        write_line(environment_.err, text);
    }
}

void LineOutput::result(const std::string& text, const JsonRecord& record) {
    if (json()) {
        emit(record);
    } else {
        write_line(environment_.out, text);
    }
}

void LineOutput::error(const std::string& text) {
    if (json()) {
        emit(JsonRecord("message").add("severity", "error").add("text", without_returns(text)));
    } else {
        write_line(environment_.err, "error: " + without_returns(text));
    }
}

void LineOutput::usb_detail(const std::string& text, const JsonRecord& record) {
    if (settings_.quiet) {
        return;
    }
    if (json()) {
        emit(record);
    } else {
        write_line(environment_.out, "usb: " + text);
    }
}

// A whole line on one of the streams, with the bars moved below it: erased
// first (whichever stream they are on, both may reach the same terminal) and
// drawn again after.
void LineOutput::write_line(std::FILE* stream, const std::string& line) {
    bars_.clear();
    std::fprintf(stream, "%s\n", line.c_str());
    flush(stream);
    bars_.line_written(stream);
    bars_.redraw_now();
}

void LineOutput::emit(const JsonRecord& record) {
    std::fprintf(environment_.out, "%s\n", record.text().c_str());
    flush(environment_.out);
}

void LineOutput::flush(std::FILE* stream) {
    errno = 0;
    if (std::fflush(stream) != 0 && stream == environment_.out && environment_.output_failed) {
        environment_.output_failed(errno);
    }
}
