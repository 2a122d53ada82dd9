#include "board/controller_ram_load.h"

#include <vector>

#include "images/c2_records.h"

namespace {

constexpr std::uint8_t CPUCS_HOLD_8051 = 0x01;

struct RamWrite {
    std::uint16_t address;
    std::span<const std::uint8_t> data;
};

// The writes the image's records make, in order; empty when the records do
// not run whole to a last record that releases the 8051.
std::vector<RamWrite> ram_writes(std::span<const std::uint8_t> image) {
    std::vector<RamWrite> writes;
    const bool whole = c2_walk_records(image, [&writes](const C2Record& record) {
        const bool releases = record.address == CONTROLLER_CPUCS && record.data.size() == 1 &&
                              (record.data[0] & CPUCS_HOLD_8051) == 0;
        if (record.last != releases) {
            return false;  // the 8051 released too early, or never
        }
        writes.push_back({record.address, record.data});
        return true;
    });
    return whole ? writes : std::vector<RamWrite>{};
}

bool firmware_load(UsbDevice* device, std::uint16_t address, std::span<const std::uint8_t> data) {
    // The image may sit in read-only memory; the transfer takes a writable buffer.
    std::vector<std::uint8_t> buffer(data.begin(), data.end());
    int length = static_cast<int>(buffer.size());
    return usb_control_transfer(device, 1, VREQ_FIRMWARE_LOAD, address, 0, &length,
                                buffer.data()) == USB_OK;
}

}  // namespace

int usb_firmware_load_ram(UsbDevice* device, std::span<const std::uint8_t> image) {
    const std::vector<RamWrite> writes = ram_writes(image);
    if (writes.empty()) {
        return CONTROLLER_RAM_NOT_LOADED;
    }
    const std::uint8_t hold[1] = {CPUCS_HOLD_8051};
    if (!firmware_load(device, CONTROLLER_CPUCS, hold)) {
        return CONTROLLER_RAM_NOT_LOADED;
    }
    for (const RamWrite& write : writes) {
        if (!firmware_load(device, write.address, write.data)) {
            return CONTROLLER_RAM_NOT_LOADED;
        }
    }
    return CONTROLLER_RAM_LOADED;
}
