#include "board/usb_firmware.h"

#include <algorithm>
#include <cstdio>

#include "window/window_port.h"
#include "window/log.h"
#include "device/clock.h"

namespace {

constexpr int EEPROM_WRITE = BUS_EEPROM_WRITE | BUS_ADDRESS_EEPROM;  // 0x0651
constexpr int EEPROM_READ = BUS_EEPROM_READ | BUS_ADDRESS_EEPROM;    // 0x0251
constexpr std::uint32_t CHUNK_PAUSE_MS = 1;
constexpr std::uint32_t OVERALL_ON_ENTRY = 122;
constexpr std::uint32_t OVERALL_AFTER_WRITING = 123;
constexpr std::uint32_t OVERALL_ON_EXIT = 124;

void bus_access(UsbDevice* device, int open) {
    std::uint8_t scratch = 0;
    int length = 1;
    usb_control_transfer(device, 0, VREQ_BUS_ACCESS, open, 0, &length, &scratch);
}

std::uint32_t task_position(int done, int length) {
    return static_cast<std::uint32_t>(done) * PROGRESS_FULL / static_cast<std::uint32_t>(length);
}

bool write_chunk(UsbDevice* device, const std::uint8_t* image, int offset, int length) {
    // The image may sit in read-only memory; the transfer takes a writable buffer.
    std::uint8_t buffer[EEPROM_WRITE_CHUNK];
    int chunk = std::min(EEPROM_WRITE_CHUNK, length - offset);
    std::copy_n(image + offset, chunk, buffer);
    const int written =
        usb_control_transfer(device, 1, VREQ_BUS_TRANSFER, EEPROM_WRITE, offset, &chunk, buffer);
    clock_sleep_ms(CHUNK_PAUSE_MS);
    return written == USB_OK;
}

// The first chunk holds the boot image's header and device id, which the
// check compares: it goes last, so that a write that stops midway leaves the
// old device id and the next run finds the firmware out of date.
bool write_image(UsbDevice* device, const std::uint8_t* image, int length) {
    int done = 0;
    for (int offset = EEPROM_WRITE_CHUNK; offset < length; offset += EEPROM_WRITE_CHUNK) {
        if (!write_chunk(device, image, offset, length)) {
            return false;
        }
        done += std::min(EEPROM_WRITE_CHUNK, length - offset);
        progress_task(task_position(done, length));
    }
    if (!write_chunk(device, image, 0, length)) {
        return false;
    }
    progress_task(task_position(length, length));
    return true;
}

// Reads the EEPROM back; 1 identical, 0 a difference (logged) or a read-back
// that stopped delivering.
int verify_image(UsbDevice* device, const std::uint8_t* image, int length) {
    std::uint8_t buffer[EEPROM_READ_CHUNK];
    int empty_reads = 0;
    for (int offset = 0; offset < length;) {
        int got = std::min(EEPROM_READ_CHUNK, length - offset);
        const int asked = got;
        usb_control_transfer(device, 0, VREQ_BUS_TRANSFER, EEPROM_READ, offset, &got, buffer);
        got = std::clamp(got, 0, asked);
        const auto* expected = image + offset;
        const int equal =
            static_cast<int>(std::mismatch(expected, expected + got, buffer).first - expected);
        offset += equal;
        progress_task(task_position(offset, length));
        clock_sleep_ms(CHUNK_PAUSE_MS);
        if (equal < got) {
            char line[64];
            std::snprintf(line, sizeof line, "error at %d: %02X != %02X\n", offset, buffer[equal],
                          image[offset]);
            log_append(line);
            return 0;
        }
        // A read that delivers nothing reads the same chunk again, but not for ever.
        empty_reads = got == 0 ? empty_reads + 1 : 0;
        if (empty_reads >= EEPROM_EMPTY_READS_ALLOWED) {
            log_append("failed");
            return 0;
        }
    }
    log_append("done");
    return 1;
}

int program_and_verify(UsbDevice* device, const std::uint8_t* image, int length) {
    const bool written = length <= 0 || write_image(device, image, length);
    progress_overall(OVERALL_AFTER_WRITING);
    progress_task(0);
    if (!written) {
        log_append("failed");
        return 0;
    }
    log_append("done\r\nVerifying USB firmware ... ");
    if (length <= 0) {
        log_append("done");
        return 1;
    }
    return verify_image(device, image, length);
}

}  // namespace

int usb_firmware_program(UsbDevice* device, const std::uint8_t* image, int length) {
    progress_task(0);
    progress_overall(OVERALL_ON_ENTRY);
    bus_access(device, 1);
    log_append("Programming USB firmware ... ");
    const int result = program_and_verify(device, image, length);
    log_end_line();
    progress_overall(OVERALL_ON_EXIT);
    bus_access(device, 0);
    return result;
}
