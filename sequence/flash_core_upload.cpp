#include "sequence/flash_core_upload.h"

#include <cstring>
#include <span>

#include "images/images.h"
#include "window/log.h"
#include "window/progress.h"
#include "device/clock.h"
#include "device/reply_stream.h"

namespace {

constexpr int STATUS_REPLY_BYTES = 16;
constexpr int TRAILER_WRITE_BYTES = 512;
constexpr int TRAILER_WRITES = FLASH_CORE_TRAILER_BYTES / TRAILER_WRITE_BYTES;
constexpr int UPLOAD_WRITE_TIMEOUT_MS = 1000;
constexpr int COMPLETION_POLLS = 10;
constexpr std::uint32_t FIRST_STAGE_PAUSE_MS = 50;
constexpr std::uint32_t SECOND_STAGE_PAUSE_MS = 100;
constexpr std::uint32_t WORD_COUNT_LIMIT = 1U << 24;

constexpr std::uint8_t STATUS_READY = 0x04;
constexpr std::uint8_t STATUS_FIRST_STAGE = 0x02;
constexpr std::uint8_t STATUS_COMPLETE = 0x12;

// The status byte of one poll into reply, or -1 when the poll failed or did
// not deliver the status byte.
int poll_status(UsbDevice* device, std::uint8_t* reply) {
    int length = STATUS_REPLY_BYTES;
    usb_control_transfer(device, 0, VREQ_FPGA_STATUS, 0, 0, &length, reply);
    return length > 2 ? reply[2] : -1;
}

bool announce_upload(UsbDevice* device, std::uint32_t words) {
    int length = STATUS_REPLY_BYTES;
    std::uint8_t* reply = reply_stream.payload;
    usb_control_transfer(device, 0, VREQ_FPGA_CONFIG, static_cast<int>(words & 0xFFFF),
                         static_cast<int>((words >> 16) & 0xFF), &length, reply);
    return length > 1 && reply[1] == 0;
}

// Each 16-bit word of the core goes with its bytes swapped and the bits of
// each byte reversed.
void convert_chunk(std::span<const std::uint8_t> input, std::uint8_t* output) {
    for (std::size_t k = 0; k + 1 < input.size(); k += 2) {
        output[k] = bit_reverse_table[input[k + 1]];
        output[k + 1] = bit_reverse_table[input[k]];
    }
}

class UploadProgress {
  public:
    UploadProgress(int overall_from, int overall_to, std::uint32_t words)
        : from_(overall_from), span_(progress_span(overall_from, overall_to)), total_(2 * words) {}
    void sent(std::uint32_t bytes) {
        sent_ += bytes;
        progress_report(from_, span_, sent_, total_);
    }

  private:
    int from_;
    std::uint32_t span_;
    std::uint32_t total_;
    std::uint32_t sent_ = 0;
};

bool write_block(UsbDevice* device, const std::uint8_t* data, int length) {
    int transferred = 0;
    return usb_bulk_write(device, PIPE_BULK_OUT, data, length, &transferred,
                          UPLOAD_WRITE_TIMEOUT_MS) >= 0;
}

bool stream_core(UsbDevice* device, std::span<const std::uint8_t> core, UploadProgress& progress) {
    std::uint8_t* buffer = reply_stream.payload;
    while (!core.empty()) {
        const std::size_t chunk = std::min<std::size_t>(FLASH_CORE_CHUNK_BYTES, core.size());
        convert_chunk(core.first(chunk), buffer);
        if (!write_block(device, buffer, static_cast<int>(chunk))) {
            return false;
        }
        core = core.subspan(chunk);
        progress.sent(static_cast<std::uint32_t>(chunk));
    }
    return true;
}

bool stream_trailer(UsbDevice* device, UploadProgress& progress) {
    std::uint8_t* buffer = reply_stream.payload;
    std::memset(buffer, 0, TRAILER_WRITE_BYTES);
    for (int i = 0; i < TRAILER_WRITES; ++i) {
        if (!write_block(device, buffer, TRAILER_WRITE_BYTES)) {
            return false;
        }
        progress.sent(TRAILER_WRITE_BYTES);
    }
    return true;
}

// Polls until every bit of wanted is set; false when a poll fails or the
// bits do not come within the polls allowed.
bool await_status(UsbDevice* device, std::uint8_t* reply, std::uint8_t wanted,
                  std::uint32_t pause_ms) {
    for (int poll = 0; poll < COMPLETION_POLLS; ++poll) {
        const int status = poll_status(device, reply);
        if (status < 0) {
            return false;
        }
        if ((status & wanted) == wanted) {
            return true;
        }
        clock_sleep_ms(pause_ms);
    }
    return false;
}

int upload(UsbDevice* device, int overall_from, int overall_to) {
    const FirmwareImage& image = firmware_image(IMAGE_FLASH_CORE);
    const std::span<const std::uint8_t> core = image.bytes();
    // The FPGA counts 16-bit words in 24 bits: an odd or oversized core is
    // refused before anything is sent.
    if (core.empty() || core.size() % 2 != 0) {
        return -1;
    }
    const auto words = static_cast<std::uint32_t>((core.size() + FLASH_CORE_TRAILER_BYTES) / 2);
    if (words >= WORD_COUNT_LIMIT) {
        return -1;
    }
    if (!announce_upload(device, words)) {
        return -1;
    }
    const int ready = poll_status(device, reply_stream.payload);
    if (ready < 0 || (ready & STATUS_READY) == 0) {
        return -1;
    }
    UploadProgress progress(overall_from, overall_to, words);
    if (!stream_core(device, core, progress) || !stream_trailer(device, progress)) {
        return -1;
    }
    if (!await_status(device, reply_stream.payload, STATUS_FIRST_STAGE, FIRST_STAGE_PAUSE_MS)) {
        return -1;
    }
    std::uint8_t second_stage_reply[STATUS_REPLY_BYTES] = {};
    if (!await_status(device, second_stage_reply, STATUS_COMPLETE, SECOND_STAGE_PAUSE_MS)) {
        return -1;
    }
    return 0;
}

}  // namespace

int flash_core_upload(UsbDevice* device, int overall_from, int overall_to) {
    log_append("Uploading the flash core ... ");
    progress_task(0);
    progress_overall(static_cast<std::uint32_t>(overall_from));
    const int result = upload(device, overall_from, overall_to);
    log_append(result == 0 ? "success" : "failed");
    log_end_line();
    return result;
}
