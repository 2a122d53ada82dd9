#include "board/usb_firmware.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <vector>

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

// The device id (bytes 5 and 6 of a C2 image) is what the check compares, so
// it is the commit record of a write: the header chunk first goes down with
// the id inverted, everything is read back, and only then is the id itself
// written and read back. A write that stops or reads back wrong anywhere
// leaves an id that differs from the image's, and the next run finds the
// firmware out of date.
constexpr int DEVICE_ID_OFFSET = 5;
constexpr int DEVICE_ID_SIZE = 2;

bool has_device_id(int length) {
    return length >= DEVICE_ID_OFFSET + DEVICE_ID_SIZE;
}

// The image as the EEPROM holds it before the commit: the id inverted.
std::vector<std::uint8_t> uncommitted_image(const std::uint8_t* image, int length) {
    std::vector<std::uint8_t> bytes(image, image + length);
    if (has_device_id(length)) {
        for (int i = DEVICE_ID_OFFSET; i < DEVICE_ID_OFFSET + DEVICE_ID_SIZE; ++i) {
            bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(~image[i]);
        }
    }
    return bytes;
}

bool write_bytes(UsbDevice* device, std::span<const std::uint8_t> bytes, int address) {
    // The image may sit in read-only memory; the transfer takes a writable buffer.
    std::uint8_t buffer[EEPROM_WRITE_CHUNK];
    int chunk = static_cast<int>(std::min<std::size_t>(EEPROM_WRITE_CHUNK, bytes.size()));
    std::copy_n(bytes.begin(), chunk, buffer);
    const int written =
        usb_control_transfer(device, 1, VREQ_BUS_TRANSFER, EEPROM_WRITE, address, &chunk, buffer);
    clock_sleep_ms(CHUNK_PAUSE_MS);
    return written == USB_OK;
}

bool write_chunk(UsbDevice* device, std::span<const std::uint8_t> image, int offset) {
    const std::size_t from = static_cast<std::size_t>(offset);
    return write_bytes(device, image.subspan(from, std::min<std::size_t>(EEPROM_WRITE_CHUNK,
                                                                         image.size() - from)),
                       offset);
}

// Every chunk after the first, then the first (the header, id inverted).
bool write_image(UsbDevice* device, std::span<const std::uint8_t> image) {
    const int length = static_cast<int>(image.size());
    int done = 0;
    for (int offset = EEPROM_WRITE_CHUNK; offset < length; offset += EEPROM_WRITE_CHUNK) {
        if (!write_chunk(device, image, offset)) {
            return false;
        }
        done += std::min(EEPROM_WRITE_CHUNK, length - offset);
        progress_task(task_position(done, length));
    }
    if (!write_chunk(device, image, 0)) {
        return false;
    }
    progress_task(task_position(length, length));
    return true;
}

// How the EEPROM is read back: from address, in reads of at most `chunk`
// bytes; the current-task bar follows the offset out of bar_total when
// moves_bar; a 32-byte chunk found different is written again and read again,
// up to `rewrites` times in all.
struct ReadBack {
    int address = 0;
    int chunk = EEPROM_READ_CHUNK;
    int bar_total = 1;
    bool moves_bar = false;
    int rewrites = 0;
};

// Compares the EEPROM with expected; 1 identical, 0 a difference that stayed
// (logged) or a read-back that stopped delivering.
int read_back(UsbDevice* device, std::span<const std::uint8_t> expected, ReadBack how) {
    std::uint8_t buffer[EEPROM_READ_CHUNK];
    const int length = static_cast<int>(expected.size());
    const int address = how.address;
    int empty_reads = 0;
    for (int offset = 0; offset < length;) {
        int got = std::min(how.chunk, length - offset);
        const int asked = got;
        usb_control_transfer(device, 0, VREQ_BUS_TRANSFER, EEPROM_READ, address + offset, &got,
                             buffer);
        got = std::clamp(got, 0, asked);
        const auto wanted = expected.subspan(static_cast<std::size_t>(offset));
        const int equal =
            static_cast<int>(std::mismatch(buffer, buffer + got, wanted.begin()).first - buffer);
        offset += equal;
        if (how.moves_bar) {
            progress_task(task_position(address + offset, how.bar_total));
        }
        clock_sleep_ms(CHUNK_PAUSE_MS);
        // A write the EEPROM acknowledged but did not store (a header lost
        // this way leaves a controller that no longer boots the instrument's
        // firmware) is written again while rewrites remain.
        if (equal < got && how.rewrites > 0) {
            --how.rewrites;
            offset -= offset % EEPROM_WRITE_CHUNK;
            write_chunk(device, expected, offset);
            empty_reads = 0;
            continue;
        }
        if (equal < got) {
            char line[64];
            std::snprintf(line, sizeof line, "error at %d: %02X != %02X\n", address + offset,
                          buffer[equal], expected[static_cast<std::size_t>(offset)]);
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
    return 1;
}

// Writes the real device id over the inverted one and reads it back.
int commit_device_id(UsbDevice* device, const std::uint8_t* image) {
    const std::span<const std::uint8_t> id(image + DEVICE_ID_OFFSET, DEVICE_ID_SIZE);
    if (!write_bytes(device, id, DEVICE_ID_OFFSET)) {
        log_append("failed");
        return 0;
    }
    return read_back(device, id, {DEVICE_ID_OFFSET, DEVICE_ID_SIZE, 1, false, 0});
}

// After a failed read-back the header may hold any bytes, the image's id among
// them (a mangled write of the inverted id can be one): an id that differs
// from the image's is written until the EEPROM reads back without the image's
// id, each attempt with another value, so that an EEPROM that garbles writes
// the same way each time cannot turn them all into the image's id. Logs nothing.
void invalidate_device_id(UsbDevice* device, const std::uint8_t* image) {
    constexpr std::uint8_t DIFFERENCES[][DEVICE_ID_SIZE] = {{0xFF, 0xFF}, {0x0F, 0xF0}, {0x55, 0xAA}};
    for (const auto& difference : DIFFERENCES) {
        std::uint8_t stored[DEVICE_ID_SIZE] = {};
        int got = DEVICE_ID_SIZE;
        usb_control_transfer(device, 0, VREQ_BUS_TRANSFER, EEPROM_READ, DEVICE_ID_OFFSET, &got,
                             stored);
        const bool holds_image_id =
            got != DEVICE_ID_SIZE || std::equal(stored, stored + DEVICE_ID_SIZE, image + 5);
        if (!holds_image_id) {
            return;
        }
        const std::uint8_t other_id[DEVICE_ID_SIZE] = {
            static_cast<std::uint8_t>(image[5] ^ difference[0]),
            static_cast<std::uint8_t>(image[6] ^ difference[1])};
        write_bytes(device, other_id, DEVICE_ID_OFFSET);
    }
}

int program_and_verify(UsbDevice* device, const std::uint8_t* image, int length) {
    const std::vector<std::uint8_t> uncommitted =
        length > 0 ? uncommitted_image(image, length) : std::vector<std::uint8_t>{};
    const bool written = length <= 0 || write_image(device, uncommitted);
    progress_overall(OVERALL_AFTER_WRITING);
    progress_task(0);
    if (!written) {
        log_append("failed");
        return 0;
    }
    log_append("done\r\nVerifying USB firmware ... ");
    const ReadBack whole_image{0, EEPROM_READ_CHUNK, length, true, EEPROM_REWRITES_ALLOWED};
    if (length > 0 && read_back(device, uncommitted, whole_image) == 0) {
        if (has_device_id(length)) {
            invalidate_device_id(device, image);
        }
        return 0;
    }
    if (has_device_id(length) && commit_device_id(device, image) == 0) {
        invalidate_device_id(device, image);
        return 0;
    }
    log_append("done");
    return 1;
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
