// The libusb backend over umockdev: path translation and the harness.
#include "support/umockdev_harness.h"

#if defined(__linux__) && defined(OMBRIX_HAVE_UMOCKDEV)
#include "sim/synthetic_images.h"

LibusbBackend& UmockdevLibusbBackend::libusb() {
    if (!libusb_) {
        libusb_ = std::make_unique<LibusbBackend>(ids_);
    }
    return *libusb_;
}

void UmockdevLibusbBackend::list_interfaces(const Guid& interface_class,
                                            std::vector<std::string>& paths) {
    usbfs_.sync();
    std::vector<std::string> port_paths;
    libusb().list_interfaces(interface_class, port_paths);
    for (const std::string& port_path : port_paths) {
        if (std::optional<std::string> sim_path = usbfs_.sim_path_of(port_path)) {
            paths.push_back(*sim_path);
        }
    }
}

int UmockdevLibusbBackend::open(UsbDevice& device) {
    usbfs_.sync();
    const std::optional<std::string> port_path =
        device.path != nullptr ? usbfs_.port_path_of(device.path) : std::nullopt;
    if (!port_path) {
        return -1;
    }
    std::string path = *port_path;
    char* given = device.path;
    device.path = path.data();
    const int opened = libusb().open(device);
    device.path = given;
    return opened;
}

InstrumentUsbIds UmockdevLibusbHarness::synthetic_ids() {
    return {sim::SYNTHETIC_VENDOR_ID, sim::SYNTHETIC_PRODUCT_ID};
}
#endif
