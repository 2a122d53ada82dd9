#include "board/usb_firmware.h"

#include <algorithm>
#include <cstdio>
#include <span>

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

// The controller boots from its EEPROM only when the first byte is a boot
// marker: 0xC2 runs the load records, 0xC0 takes the ids without firmware.
// Any other first byte leaves it bare, waiting for a firmware load over USB,
// which the command line's "recover" gives it.
constexpr std::uint8_t MARKER_LOAD_FIRMWARE = 0xC2;
constexpr std::uint8_t MARKER_IDS_ONLY = 0xC0;
constexpr int MARKER_ADDRESS = 0;
// First bytes that boot nothing, tried in turn until one reads back.
constexpr std::uint8_t NO_BOOT_MARKERS[] = {0xFF, 0x00, 0x55};
constexpr int HEADER_SIZE = 8;
constexpr int DEVICE_ID_OFFSET = 5;

bool boots(std::uint8_t first_byte) {
    return first_byte == MARKER_LOAD_FIRMWARE || first_byte == MARKER_IDS_ONLY;
}

void bus_access(UsbDevice* device, int open) {
    std::uint8_t scratch = 0;
    int length = 1;
    usb_control_transfer(device, 0, VREQ_BUS_ACCESS, open, 0, &length, &scratch);
}

std::uint32_t task_position(int done, int length) {
    return static_cast<std::uint32_t>(done) * PROGRESS_FULL / static_cast<std::uint32_t>(length);
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

// Reads up to out.size() bytes at address; the count that arrived.
int read_bytes(UsbDevice* device, int address, std::span<std::uint8_t> out) {
    int got = static_cast<int>(out.size());
    usb_control_transfer(device, 0, VREQ_BUS_TRANSFER, EEPROM_READ, address, &got, out.data());
    return std::clamp(got, 0, static_cast<int>(out.size()));
}

// The image's bytes of the 32-byte EEPROM page at page_address, never the
// first byte (the marker is written alone, last).
bool write_page(UsbDevice* device, std::span<const std::uint8_t> image, int page_address) {
    const int from = std::max(page_address, MARKER_ADDRESS + 1);
    const int to = std::min(page_address + EEPROM_WRITE_CHUNK, static_cast<int>(image.size()));
    if (from >= to) {
        return true;
    }
    return write_bytes(device, image.subspan(static_cast<std::size_t>(from),
                                             static_cast<std::size_t>(to - from)),
                       from);
}

// Makes the first byte one that boots nothing, and reads it back. Until the
// new image is whole and read back, a power cut or a stop then leaves a bare
// controller that "recover" brings back, never a controller that loads half
// of one firmware and half of another and never comes back on the bus.
bool withdraw_boot_image(UsbDevice* device) {
    for (const std::uint8_t marker : NO_BOOT_MARKERS) {
        const std::uint8_t value[1] = {marker};
        if (!write_bytes(device, value, MARKER_ADDRESS)) {
            return false;  // not acknowledged: the EEPROM holds what it held
        }
        std::uint8_t stored[1] = {};
        if (read_bytes(device, MARKER_ADDRESS, stored) == 1 && !boots(stored[0])) {
            return true;
        }
    }
    return false;
}

// Everything after the marker, page by page.
bool write_body(UsbDevice* device, std::span<const std::uint8_t> image) {
    const int length = static_cast<int>(image.size());
    for (int page = 0; page < length; page += EEPROM_WRITE_CHUNK) {
        if (!write_page(device, image, page)) {
            return false;
        }
        progress_task(task_position(std::min(page + EEPROM_WRITE_CHUNK, length), length));
    }
    return true;
}

// Compares the EEPROM from address `from` on with the image. A page found
// different (written and acknowledged but not stored) is written again and
// read again, up to EEPROM_REWRITES_ALLOWED times in all. True identical;
// false a difference that stayed (logged) or a read-back that stopped
// delivering.
bool read_back(UsbDevice* device, std::span<const std::uint8_t> image, int from, bool moves_bar) {
    std::uint8_t buffer[EEPROM_READ_CHUNK];
    const int length = static_cast<int>(image.size());
    int rewrites = EEPROM_REWRITES_ALLOWED;
    int empty_reads = 0;
    for (int address = from; address < length;) {
        const int got = read_bytes(device, address,
                                   std::span(buffer).first(static_cast<std::size_t>(
                                       std::min(EEPROM_READ_CHUNK, length - address))));
        const auto wanted = image.subspan(static_cast<std::size_t>(address));
        const int equal =
            static_cast<int>(std::mismatch(buffer, buffer + got, wanted.begin()).first - buffer);
        address += equal;
        if (moves_bar) {
            progress_task(task_position(address, length));
        }
        clock_sleep_ms(CHUNK_PAUSE_MS);
        if (equal < got && rewrites > 0) {
            --rewrites;
            if (address == MARKER_ADDRESS) {
                write_bytes(device, image.first(1), MARKER_ADDRESS);
            } else {
                address -= address % EEPROM_WRITE_CHUNK;
                write_page(device, image, address);
                address = std::max(address, from);
            }
            empty_reads = 0;
            continue;
        }
        if (equal < got) {
            char line[64];
            std::snprintf(line, sizeof line, "error at %d: %02X != %02X\n", address, buffer[equal],
                          image[static_cast<std::size_t>(address)]);
            log_append(line);
            return false;
        }
        // A read that delivers nothing reads the same chunk again, but not for ever.
        empty_reads = got == 0 ? empty_reads + 1 : 0;
        if (empty_reads >= EEPROM_EMPTY_READS_ALLOWED) {
            log_append("failed");
            return false;
        }
    }
    return true;
}

// The commit: the marker alone, read back. Before it the EEPROM boots
// nothing; after it, the whole image it holds and has been read back.
bool commit_marker(UsbDevice* device, std::span<const std::uint8_t> image) {
    // A write reported failed may still have been stored: the read-back decides.
    write_bytes(device, image.first(1), MARKER_ADDRESS);
    return read_back(device, image.first(1), MARKER_ADDRESS, false);
}

int program_and_verify(UsbDevice* device, std::span<const std::uint8_t> image) {
    const bool written = image.empty() || (withdraw_boot_image(device) && write_body(device, image));
    progress_overall(OVERALL_AFTER_WRITING);
    progress_task(0);
    if (!written) {
        log_append("failed");
        return USB_FIRMWARE_NOT_WRITTEN;
    }
    log_append("done\r\nVerifying USB firmware ... ");
    if (!image.empty() && (!read_back(device, image, MARKER_ADDRESS + 1, true) ||
                           !commit_marker(device, image))) {
        // Whatever the marker's write left, the EEPROM must not boot an image
        // that was not read back whole.
        withdraw_boot_image(device);
        return USB_FIRMWARE_NOT_WRITTEN;
    }
    log_append("done");
    return USB_FIRMWARE_WRITTEN;
}

}  // namespace

int usb_firmware_program(UsbDevice* device, const std::uint8_t* image, int length) {
    progress_task(0);
    progress_overall(OVERALL_ON_ENTRY);
    bus_access(device, 1);
    log_append("Programming USB firmware ... ");
    const std::span<const std::uint8_t> bytes(image, length > 0 ? static_cast<std::size_t>(length) : 0U);
    const int result = program_and_verify(device, bytes);
    log_end_line();
    progress_overall(OVERALL_ON_EXIT);
    bus_access(device, 0);
    return result;
}

int usb_firmware_compare(UsbDevice* device, std::span<const std::uint8_t> image,
                         std::uint16_t* installed_device_id) {
    std::uint8_t header[HEADER_SIZE] = {};
    if (read_bytes(device, MARKER_ADDRESS, header) < HEADER_SIZE) {
        return USB_FIRMWARE_HEADER_UNREAD;
    }
    if (installed_device_id != nullptr) {
        *installed_device_id =
            static_cast<std::uint16_t>(header[DEVICE_ID_OFFSET] | header[DEVICE_ID_OFFSET + 1] << 8);
    }
    const bool current = image.size() >= HEADER_SIZE && header[MARKER_ADDRESS] == image[0] &&
                         header[DEVICE_ID_OFFSET] == image[DEVICE_ID_OFFSET] &&
                         header[DEVICE_ID_OFFSET + 1] == image[DEVICE_ID_OFFSET + 1];
    return current ? USB_FIRMWARE_HEADER_SAME : USB_FIRMWARE_HEADER_DIFFERS;
}
