#include "device/flash_commands.h"

#include <cstring>

#include "device/reply_stream.h"

std::uint8_t flash_command_buffer[FLASH_COMMAND_BUFFER_SIZE] = {};

namespace {

constexpr int COMMAND_WORDS = 1;
constexpr int PAGE_WORDS = 1 + FLASH_PAGE_SIZE / 4;

void put_word(std::uint8_t* destination, std::uint32_t word) {
    destination[0] = static_cast<std::uint8_t>(word);
    destination[1] = static_cast<std::uint8_t>(word >> 8);
    destination[2] = static_cast<std::uint8_t>(word >> 16);
    destination[3] = static_cast<std::uint8_t>(word >> 24);
}

// Writes a frame header and its command word at offset; returns the frame's first byte past
// the command word.
std::uint8_t* put_frame_start(int offset, std::uint32_t word_count, std::uint32_t command_word) {
    std::uint8_t* frame = flash_command_buffer + offset;
    put_word(frame, FRAME_MAGIC);
    put_word(frame + 4, word_count);
    put_word(frame + 8, 0);
    put_word(frame + 12, 0);
    put_word(frame + 16, command_word);
    return frame + FLASH_COMMAND_FRAME_SIZE;
}

int send_command_buffer(UsbDevice* device, int length) {
    int transferred = 0;
    const int result = usb_bulk_write(device, PIPE_BULK_OUT, flash_command_buffer, length,
                                      &transferred, FLASH_COMMAND_TIMEOUT_MS);
    if (result < 0) {
        return result;
    }
    return transferred < length ? FLASH_FRAME_PARTLY_TAKEN : FLASH_FRAME_SENT;
}

bool is_identification(int reply_length) {
    return reply_length == 4 && reply_stream.payload[0] == FLASH_JEDEC_MANUFACTURER &&
           reply_stream.payload[1] == FLASH_JEDEC_MEMORY_TYPE;
}

}  // namespace

int flash_command(UsbDevice* device, std::uint32_t command_word) {
    put_frame_start(0, COMMAND_WORDS, command_word);
    return send_command_buffer(device, FLASH_COMMAND_FRAME_SIZE);
}

int flash_write_page(UsbDevice* device, std::uint32_t address,
                     std::span<const std::uint8_t, FLASH_PAGE_SIZE> data) {
    std::uint8_t* page = put_frame_start(0, PAGE_WORDS, FLASH_CMD_WRITE | address);
    std::memcpy(page, data.data(), data.size());
    return send_command_buffer(device, FLASH_PAGE_FRAME_SIZE);
}

void flash_update_end(UsbDevice* device) {
    put_frame_start(0, COMMAND_WORDS, FLASH_CMD_UPDATE_END_A);
    put_frame_start(FLASH_COMMAND_FRAME_SIZE, COMMAND_WORDS, FLASH_CMD_UPDATE_END_B);
    send_command_buffer(device, 2 * FLASH_COMMAND_FRAME_SIZE);
}

// Each attempt looks at exactly one reply, so a stale reply still queued from
// an earlier exchange uses up an attempt and the question is asked again.
int flash_access(UsbDevice* device) {
    for (int attempt = 0; attempt < FLASH_ACCESS_ATTEMPTS; ++attempt) {
        flash_command(device, FLASH_CMD_IDENTIFY);
        const int reply_length = reply_next(device, REPLY_IDENTIFY_TIMEOUT_MS);
        if (is_identification(reply_length)) {
            return reply_stream.payload[2];
        }
    }
    return FLASH_NOT_IDENTIFIED;
}
