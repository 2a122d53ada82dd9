#include "instruments/device_list.h"

#include <cstdio>
#include <cstring>

#include "window/window_port.h"

namespace {

UsbDevice* device_list = nullptr;
UsbDevice* listed_devices[LISTED_DEVICES_MAX] = {};
int listed_count = 0;
std::string remembered_path;

constexpr int COMMAND_ITEMS[] = {IDM_POWER_CYCLE, IDM_FPGA_HALT, IDM_VERIFY_CONTENTS};

void enable_device_commands(WindowPort& port, bool enabled) {
    port.control_enable(IDC_PROGRAM, enabled);
    for (const int item : COMMAND_ITEMS) {
        port.menu_item_enable(item, enabled);
    }
}

// The device number: bytes 4 to 7 of the identification block, little-endian.
bool read_device_number(UsbDevice* device, std::int32_t* number) {
    std::uint8_t block[IDENTIFICATION_BLOCK_SIZE] = {};
    int length = IDENTIFICATION_BLOCK_SIZE;
    usb_control_transfer(device, 0, VREQ_BUS_TRANSFER, BUS_EEPROM_READ | BUS_ADDRESS_EEPROM,
                         IDENTIFICATION_BLOCK_ADDRESS, &length, block);
    if (length != IDENTIFICATION_BLOCK_SIZE) {
        return false;
    }
    *number = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(block[4]) | static_cast<std::uint32_t>(block[5]) << 8 |
        static_cast<std::uint32_t>(block[6]) << 16 | static_cast<std::uint32_t>(block[7]) << 24);
    return true;
}

}  // namespace

int device_list_refresh(const char* remembered) {
    WindowPort& port = window_port();
    port.device_combo_reset();
    enable_device_commands(port, false);

    device_list_release();
    const char* guid_texts[] = {INSTRUMENT_INTERFACE_GUID};
    usb_find_devices(guid_texts, 1, &device_list);
    if (device_list == nullptr) {
        return 0;
    }

    int selected = -1;
    int matches = 0;
    // Instruments beyond the table's 32 are left out (not even opened).
    for (UsbDevice* entry = device_list; entry != nullptr && listed_count < LISTED_DEVICES_MAX;
         entry = entry->next) {
        if (usb_open_device(entry, 1) != USB_OPEN_OK) {
            continue;
        }
        std::int32_t number = 0;
        if (read_device_number(entry, &number)) {
            if (selected < 0) {
                selected = listed_count;
            }
            if (remembered != nullptr && std::strcmp(remembered, entry->path) == 0) {
                selected = listed_count;
                ++matches;
            }
            char text[24];
            std::snprintf(text, sizeof text, "DEV%d", number);
            port.device_combo_append(text);
            listed_devices[listed_count++] = entry;
        }
        usb_close_device(entry);
    }
    if (selected < 0) {
        port.device_combo_select(0);
        return matches;
    }
    port.device_combo_select(selected);
    enable_device_commands(port, true);
    return matches;
}

UsbDevice* listed_device(int index) {
    return index >= 0 && index < listed_count ? listed_devices[index] : nullptr;
}

int listed_device_count() {
    return listed_count;
}

std::string& remembered_device_path() {
    return remembered_path;
}

void device_list_release() {
    usb_free_device_list(device_list);
    device_list = nullptr;
    listed_count = 0;
}
