#include "flash/flash_operation.h"

#include "window/progress.h"
#include "device/clock.h"
#include "device/flash_commands.h"
#include "device/reply_stream.h"
#include "flash/flash_results.h"

namespace {

constexpr std::uint32_t FLASH_MODE_UPDATE = 5;
constexpr std::uint32_t MODE_PAUSE_MS = 10;
// Reads one drain may make: far more than any queue of stale replies needs,
// and still a bound against an instrument that never stops sending.
constexpr int DRAIN_READ_LIMIT = 1024;

// Drops every reply still queued. A stale reply longer than one read (a read
// reply of 1 KiB comes as 1,040 bytes) leaves reply_next at 0 after its first
// part, which would end reply_drain there; the rest would then be taken for
// the answer to the next command. So the drain goes on while reads still
// bring bytes, and stops at the first read that brings none or times out.
void drain_stale_replies(UsbDevice* device) {
    for (int read = 0; read < DRAIN_READ_LIMIT; ++read) {
        const int result = reply_next(device, REPLY_TIMEOUT_MS);
        const bool bytes_came = result > 0 || (result == 0 && reply_stream.fill_count > 0);
        if (!bytes_came) {
            return;
        }
    }
}

// The failure of a closing frame's send, or FLASH_FRAME_SENT when it went out whole.
int closing_send_result(int sent) {
    if (sent < 0) {
        return sent;
    }
    return sent == FLASH_FRAME_PARTLY_TAKEN ? FLASH_FAILED : FLASH_FRAME_SENT;
}

}  // namespace

ReplyWaitResult flash_wait_reply(UsbDevice* device, int budget,
                                 const std::function<void(int)>& on_empty_poll) {
    int empty_polls = 0;
    for (;;) {
        const int result = reply_next(device, REPLY_TIMEOUT_MS);
        if (result > 0) {
            return {ReplyWait::arrived, result};
        }
        if (result == USB_ERR_NO_PIPE) {
            return {ReplyWait::no_pipe, result};
        }
        if (result != 0 && result != USB_ERR_TIMEOUT) {
            return {ReplyWait::failed, result};
        }
        if (on_empty_poll) {
            on_empty_poll(empty_polls);
        }
        if (++empty_polls >= budget) {
            return {ReplyWait::unanswered, 0};
        }
    }
}

FlashOperation::FlashOperation(UsbDevice* device, const FlashRegion& region, int overall_from,
                               int overall_to)
    : device_(device),
      region_(region),
      image_(firmware_image(region.image_id).bytes()),
      overall_from_(overall_from),
      span_(progress_span(overall_from, overall_to)) {}

FlashOpening FlashOperation::open() {
    flash_command(device_, FLASH_CMD_MODE | FLASH_MODE_UPDATE);
    clock_sleep_ms(MODE_PAUSE_MS);
    const int select_sent =
        flash_command(device_, FLASH_CMD_SELECT | static_cast<std::uint32_t>(region_.flash_device));
    progress_task(0);
    progress_overall(static_cast<std::uint32_t>(overall_from_));
    if (select_sent != FLASH_FRAME_SENT) {
        // Identifying now would say nothing about which device is selected,
        // and costs seconds when the pipe is gone; the closing drains and
        // identifies anyway.
        return {false, FLASH_NOT_IDENTIFIED};
    }
    drain_stale_replies(device_);
    return {true, flash_access(device_)};
}

void FlashOperation::close_update() {
    flash_update_end(device_);
    if (region_.flash_device != 0) {
        flash_command(device_, FLASH_CMD_SELECT | 0);
    }
    finish();
}

int FlashOperation::close_verify(int result) {
    int last_send = flash_command(device_, FLASH_CMD_MODE | FLASH_MODE_UPDATE);
    clock_sleep_ms(MODE_PAUSE_MS);
    if (region_.flash_device != 0) {
        last_send = flash_command(device_, FLASH_CMD_SELECT | 0);
    }
    const int send_failure = closing_send_result(last_send);
    finish();
    return send_failure != FLASH_FRAME_SENT ? send_failure : result;
}

void FlashOperation::finish() {
    drain_stale_replies(device_);
    flash_access(device_);
}

void FlashOperation::report(std::uint32_t done) const {
    progress_report(overall_from_, span_, done, length());
}

void FlashOperation::report_overall(std::uint32_t done) const {
    if (length() != 0) {
        progress_overall(static_cast<std::uint32_t>(overall_from_) + span_ * done / length());
    }
}
