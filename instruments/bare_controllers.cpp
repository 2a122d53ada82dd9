#include "instruments/bare_controllers.h"

#include "device/usb.h"

std::vector<std::string> bare_controller_paths() {
    const char* classes[] = {BARE_CONTROLLER_GUID};
    UsbDevice* list = nullptr;
    usb_find_devices(classes, 1, &list);
    std::vector<std::string> paths;
    // The ids come from the device descriptor read when the entry was made.
    for (const UsbDevice* entry = list; entry != nullptr; entry = entry->next) {
        if (entry->vendor_id == BARE_CONTROLLER_VENDOR_ID &&
            entry->product_id == BARE_CONTROLLER_PRODUCT_ID && entry->path != nullptr) {
            paths.emplace_back(entry->path);
        }
    }
    usb_free_device_list(list);
    return paths;
}
