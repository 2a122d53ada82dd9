#include "board/power_config.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "window/window_port.h"
#include "board/pmbus_commands.h"
#include "device/clock.h"

namespace {

constexpr std::size_t RECORD_HEADER = 3;   // command, 16-bit value
constexpr std::size_t BLOCK_BUFFER = 256;  // count byte and up to 255 data bytes

struct Supply {
    UsbDevice* device;
    int write_request;  // 0x0100 + bus address
    int read_request;   // 0x0900 + bus address
};

struct Record {
    std::uint8_t command;
    std::uint16_t value;
    PmbusCommandAttributes attributes;
    std::span<const std::uint8_t> block;  // kinds 6 and 7
};

bool write_once(const Supply& supply, std::uint8_t command, std::span<std::uint8_t> data) {
    int length = static_cast<int>(data.size());
    return usb_control_transfer(supply.device, 1, VREQ_BUS_TRANSFER, supply.write_request, command,
                                &length, data.data()) == USB_OK;
}

bool write_with_attempts(const Supply& supply, std::uint8_t command, std::span<std::uint8_t> data) {
    for (int attempt = 0; attempt < POWER_WRITE_ATTEMPTS; ++attempt) {
        if (write_once(supply, command, data)) {
            return true;
        }
    }
    return false;
}

// The bytes that arrived; a read that delivers fewer than asked is not the
// stored value.
bool read_exactly(const Supply& supply, std::uint8_t command, std::span<std::uint8_t> into) {
    int length = static_cast<int>(into.size());
    usb_control_transfer(supply.device, 0, VREQ_BUS_TRANSFER, supply.read_request, command, &length,
                         into.data());
    return length == static_cast<int>(into.size());
}

bool values_equal(std::uint8_t kind, std::uint16_t stored, std::uint16_t wanted) {
    if (kind == PMBUS_BYTE) {
        return (stored & 0xFF) == (wanted & 0xFF);
    }
    if (kind == PMBUS_LINEAR11) {
        return pmbus_linear11_equal(stored, wanted);
    }
    return stored == wanted;
}

bool value_matches(const Supply& supply, const Record& record) {
    std::uint8_t bytes[2] = {};
    const std::size_t size = record.attributes.kind == PMBUS_BYTE ? 1 : 2;
    if (!read_exactly(supply, record.command, {bytes, size})) {
        return false;
    }
    const auto stored = static_cast<std::uint16_t>(bytes[0] | (size == 2 ? bytes[1] << 8 : 0));
    return values_equal(record.attributes.kind, stored, record.value);
}

// The stored block is read as its count m, then m + 1 bytes (count and data).
bool block_matches(const Supply& supply, const Record& record) {
    std::uint8_t stored[BLOCK_BUFFER] = {};
    if (!read_exactly(supply, record.command, {stored, 1})) {
        return false;
    }
    const std::size_t count = stored[0];
    if (!read_exactly(supply, record.command, {stored, count + 1})) {
        return false;
    }
    return count == record.block.size() && stored[0] == count &&
           std::equal(record.block.begin(), record.block.end(), stored + 1);
}

bool stored_matches(const Supply& supply, const Record& record) {
    const bool block = record.attributes.kind >= PMBUS_BLOCK;
    return block ? block_matches(supply, record) : value_matches(supply, record);
}

// Whether the command ended at the script's value (a send-only command always does).
bool play_record(const Supply& supply, const Record& record) {
    const std::uint8_t kind = record.attributes.kind;
    if (kind == PMBUS_SEND_ONLY) {
        write_once(supply, record.command, {});
        clock_sleep_ms(record.value);
        return true;
    }
    const bool read_first = (record.attributes.flags & PMBUS_WRITE_WITHOUT_READING) == 0;
    if (read_first && stored_matches(supply, record)) {
        return true;
    }
    std::uint8_t outgoing[BLOCK_BUFFER];
    std::size_t size = 0;
    if (kind >= PMBUS_BLOCK) {
        outgoing[0] = static_cast<std::uint8_t>(record.block.size());
        std::memcpy(outgoing + 1, record.block.data(), record.block.size());
        size = record.block.size() + 1;
    } else {
        outgoing[0] = static_cast<std::uint8_t>(record.value);
        outgoing[1] = static_cast<std::uint8_t>(record.value >> 8);
        size = kind == PMBUS_BYTE ? 1 : 2;
    }
    if (!write_with_attempts(supply, record.command, {outgoing, size})) {
        return false;
    }
    return stored_matches(supply, record);
}

}  // namespace

int power_config_program(UsbDevice* device, int bus_address, const std::uint8_t* script,
                         int script_length, int overall_from, int overall_to) {
    progress_task(0);
    progress_overall(static_cast<std::uint32_t>(overall_from));
    const auto address = static_cast<std::uint8_t>(bus_address);
    const Supply supply{device, BUS_PMBUS_WRITE | address, BUS_PMBUS_READ | address};
    const std::span<const std::uint8_t> bytes{script, script != nullptr && script_length > 0
                                                          ? static_cast<std::size_t>(script_length)
                                                          : 0U};

    int failures = 0;
    std::size_t position = 0;
    // A record cut by the end of the script ends the playing.
    while (position + RECORD_HEADER <= bytes.size()) {
        Record record{bytes[position],
                      static_cast<std::uint16_t>(bytes[position + 1] | bytes[position + 2] << 8),
                      pmbus_command_attributes(bytes[position]),
                      {}};
        if (record.attributes.kind == PMBUS_SKIPPED ||
            (record.attributes.flags & PMBUS_WRITTEN) == 0) {
            position += RECORD_HEADER;
            continue;
        }
        std::size_t consumed = RECORD_HEADER;
        if (record.attributes.kind >= PMBUS_BLOCK) {
            const std::size_t n = record.value & 0xFF;
            if (position + RECORD_HEADER + n > bytes.size()) {
                break;
            }
            record.block = bytes.subspan(position + RECORD_HEADER, n);
            consumed += n;
        }
        if (!play_record(supply, record)) {
            ++failures;
        }
        position += consumed;
        progress_task(static_cast<std::uint32_t>(position) * PROGRESS_FULL /
                      static_cast<std::uint32_t>(bytes.size()));
    }
    progress_overall(static_cast<std::uint32_t>(overall_to));
    return failures;
}

bool power_supply_restore(UsbDevice* device, int bus_address) {
    const int sent =
        usb_control_transfer(device, 1, VREQ_BUS_TRANSFER, BUS_PMBUS_WRITE | (bus_address & 0xFF),
                             PMBUS_RESTORE_DEFAULT_ALL, nullptr, nullptr);
    clock_sleep_ms(POWER_RESTORE_PAUSE_MS);
    return sent == USB_OK;
}

int power_supply_date_compare(UsbDevice* device, int bus_address,
                              std::span<const std::uint8_t> script, std::string* installed_date) {
    constexpr int REPLY_BYTES = 7;
    std::uint8_t reply[REPLY_BYTES] = {};
    int length = REPLY_BYTES;
    usb_control_transfer(device, 0, VREQ_BUS_TRANSFER, BUS_PMBUS_READ | (bus_address & 0xFF),
                         PMBUS_MFR_DATE, &length, reply);
    if (length != REPLY_BYTES) {
        return POWER_DATE_UNREAD;
    }
    if (installed_date != nullptr) {
        installed_date->assign(reinterpret_cast<const char*>(reply + 1), REPLY_BYTES - 1);
    }
    const bool equal = script.size() >= 9 && reply[0] == script[1] &&
                       std::equal(reply + 1, reply + REPLY_BYTES, script.begin() + 3);
    return equal ? POWER_DATE_SAME : POWER_DATE_DIFFERS;
}
