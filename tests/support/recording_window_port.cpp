#include "support/recording_window_port.h"

#include <algorithm>

namespace {

// An edit control clamps positions to its text; -1 as the start removes the
// selection, a negative end means the end of the text.
std::size_t clamp_position(int position, std::size_t length) {
    if (position < 0) {
        return length;
    }
    return std::min(static_cast<std::size_t>(position), length);
}

}  // namespace

void RecordingWindowPort::record(std::string call) { calls.push_back(std::move(call)); }

std::uint32_t RecordingWindowPort::log_text_length() {
    std::lock_guard lock(mutex_);
    record("log_text_length");
    return static_cast<std::uint32_t>(log_.size());
}

void RecordingWindowPort::log_set_selection(int start, int end) {
    std::lock_guard lock(mutex_);
    record("log_set_selection " + std::to_string(start) + " " + std::to_string(end));
    std::size_t from = clamp_position(start, log_.size());
    std::size_t to = clamp_position(end, log_.size());
    if (from > to) {
        std::swap(from, to);
    }
    selection_start_ = from;
    selection_end_ = to;
}

void RecordingWindowPort::log_replace_selection(const char* text) {
    std::lock_guard lock(mutex_);
    record(std::string("log_replace_selection ") + text);
    log_.replace(selection_start_, selection_end_ - selection_start_, text);
    selection_start_ += std::char_traits<char>::length(text);
    selection_end_ = selection_start_;
}

void RecordingWindowPort::log_set_text(const char* text) {
    std::lock_guard lock(mutex_);
    record(std::string("log_set_text ") + text);
    log_ = text;
    selection_start_ = selection_end_ = 0;
}

void RecordingWindowPort::progress_set(int control, std::uint32_t position) {
    std::lock_guard lock(mutex_);
    progress_calls.push_back({control, position});
    progress_[control] = position;
}

void RecordingWindowPort::control_enable(int control, bool enabled) {
    std::lock_guard lock(mutex_);
    record("control_enable " + std::to_string(control) + (enabled ? " on" : " off"));
    enabled_[control] = enabled;
}

void RecordingWindowPort::menu_item_enable(int command, bool enabled) {
    std::lock_guard lock(mutex_);
    record("menu_item_enable " + std::to_string(command) + (enabled ? " on" : " off"));
    enabled_[command] = enabled;
}

void RecordingWindowPort::device_combo_reset() {
    std::lock_guard lock(mutex_);
    record("device_combo_reset");
    combo_.clear();
    combo_selection_ = -1;
}

void RecordingWindowPort::device_combo_append(const char* text) {
    std::lock_guard lock(mutex_);
    record(std::string("device_combo_append ") + text);
    combo_.emplace_back(text);
}

void RecordingWindowPort::device_combo_select(int index) {
    std::lock_guard lock(mutex_);
    record("device_combo_select " + std::to_string(index));
    combo_selection_ = index >= 0 && static_cast<std::size_t>(index) < combo_.size() ? index : -1;
}

int RecordingWindowPort::device_combo_selection() {
    std::lock_guard lock(mutex_);
    return combo_selection_;
}

void RecordingWindowPort::message_box(const char* text, MessageIcon icon) {
    std::lock_guard lock(mutex_);
    record(std::string("message_box ") + text);
    message_boxes.push_back({text, icon});
}

std::string RecordingWindowPort::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::uint32_t RecordingWindowPort::progress(int control) const {
    std::lock_guard lock(mutex_);
    auto found = progress_.find(control);
    return found == progress_.end() ? 0 : found->second;
}

std::vector<std::uint32_t> RecordingWindowPort::progress_history(int control) const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint32_t> positions;
    for (const ProgressCall& call : progress_calls) {
        if (call.control == control) {
            positions.push_back(call.position);
        }
    }
    return positions;
}

bool RecordingWindowPort::enabled(int control_or_command) const {
    std::lock_guard lock(mutex_);
    auto found = enabled_.find(control_or_command);
    return found == enabled_.end() || found->second;
}

std::vector<std::string> RecordingWindowPort::combo_items() const {
    std::lock_guard lock(mutex_);
    return combo_;
}

int RecordingWindowPort::combo_selection() const {
    std::lock_guard lock(mutex_);
    return combo_selection_;
}
