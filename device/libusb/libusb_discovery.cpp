// Finding instruments with libusb: which devices are instruments, which are
// bare controllers, the path that names their port, and finding a device
// again by that path.
#include <libusb.h>

#include <cstdio>

#include "device/libusb/libusb_backend.h"
#include "device/libusb/libusb_context.h"

namespace {

using libusb_backend::LibusbDeviceList;

constexpr std::uint8_t INSTRUMENT_OUT_ENDPOINT = PIPE_BULK_OUT;
constexpr std::uint8_t INSTRUMENT_IN_ENDPOINT = PIPE_BULK_IN;
// USB allows at most seven tiers of hubs below the root.
constexpr int MAX_PORT_DEPTH = 7;

struct ConfigDescriptorFree {
    void operator()(libusb_config_descriptor* config) const {
        libusb_free_config_descriptor(config);
    }
};
using ConfigDescriptor = std::unique_ptr<libusb_config_descriptor, ConfigDescriptorFree>;

bool is_bulk_instrument_endpoint(const libusb_endpoint_descriptor& endpoint) {
    const bool bulk =
        (endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK;
    return bulk && (endpoint.bEndpointAddress == INSTRUMENT_OUT_ENDPOINT ||
                    endpoint.bEndpointAddress == INSTRUMENT_IN_ENDPOINT);
}

// The first interface (alternate setting 0) carrying one of the instrument's
// bulk endpoints, or -1.
int instrument_interface(const libusb_config_descriptor& config) {
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        if (interface.num_altsetting < 1) {
            continue;
        }
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            if (is_bulk_instrument_endpoint(setting.endpoint[e])) {
                return setting.bInterfaceNumber;
            }
        }
    }
    return -1;
}

// A bare controller: the chip's built-in ids and no instrument interface. The
// interface to claim is the first of the configuration; none (-1) when the
// configuration has no interface or libusb cannot read it, since endpoint 0
// needs no claim.
bool is_bare_controller(libusb_device* device, int* interface_number) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
        descriptor.idVendor != BARE_CONTROLLER_VENDOR_ID ||
        descriptor.idProduct != BARE_CONTROLLER_PRODUCT_ID) {
        return false;
    }
    *interface_number = -1;
    libusb_config_descriptor* raw_config = nullptr;
    if (libusb_get_active_config_descriptor(device, &raw_config) != LIBUSB_SUCCESS) {
        return true;
    }
    const ConfigDescriptor config(raw_config);
    if (instrument_interface(*config) >= 0) {
        return false;
    }
    if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
        *interface_number = config->interface[0].altsetting[0].bInterfaceNumber;
    }
    return true;
}

}  // namespace

std::optional<InstrumentUsbIds> instrument_ids_from_boot_image(
    std::span<const std::uint8_t> boot_image) {
    if (boot_image.size() < 5) {
        return std::nullopt;
    }
    InstrumentUsbIds ids;
    ids.vendor_id = static_cast<std::uint16_t>(boot_image[1] | (boot_image[2] << 8));
    ids.product_id = static_cast<std::uint16_t>(boot_image[3] | (boot_image[4] << 8));
    return ids;
}

std::string libusb_port_path(libusb_device* device) {
    std::uint8_t ports[MAX_PORT_DEPTH] = {};
    const int depth = libusb_get_port_numbers(device, ports, MAX_PORT_DEPTH);
    if (depth <= 0) {
        return {};
    }
    std::string path = "usb:" + std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < depth; ++i) {
        if (i > 0) {
            path += '.';
        }
        path += std::to_string(ports[i]);
    }
    return path;
}

// An instrument: the boot image's ids, and a configuration that carries the
// instrument's bulk pipes. Firmware with the same ids but without them (a
// boot loader) is not one. A configuration libusb cannot parse is left for
// the core to judge at open, which reads the descriptors itself.
bool LibusbBackend::is_instrument(libusb_device* device, int* interface_number) const {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
        descriptor.idVendor != ids_.vendor_id || descriptor.idProduct != ids_.product_id) {
        return false;
    }
    libusb_config_descriptor* raw_config = nullptr;
    if (libusb_get_active_config_descriptor(device, &raw_config) != LIBUSB_SUCCESS) {
        *interface_number = 0;
        return true;
    }
    const ConfigDescriptor config(raw_config);
    const int found = instrument_interface(*config);
    if (found < 0) {
        return false;
    }
    *interface_number = found;
    return true;
}

void LibusbBackend::list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) {
    Guid instrument_class;
    Guid bare_class;
    const bool instruments = _parse_guid(INSTRUMENT_INTERFACE_GUID, &instrument_class) == 0 &&
                             interface_class == instrument_class;
    const bool bare =
        _parse_guid(BARE_CONTROLLER_GUID, &bare_class) == 0 && interface_class == bare_class;
    if (!instruments && !bare) {
        return;
    }
    refresh_context();
    const LibusbDeviceList devices(context_);
    for (libusb_device* device : devices) {
        int interface_number = 0;
        const bool listed = instruments ? is_instrument(device, &interface_number)
                                        : is_bare_controller(device, &interface_number);
        if (!listed) {
            continue;
        }
        std::string path = libusb_port_path(device);
        if (!path.empty()) {
            paths.push_back(std::move(path));
        }
    }
}

// An instrument, or a bare controller: the path alone names the device, and
// the recovery of an instrument whose controller lost its firmware opens it.
std::optional<LibusbBackend::Located> LibusbBackend::locate(const std::string& path) {
    refresh_context();
    const LibusbDeviceList devices(context_);
    for (libusb_device* device : devices) {
        if (libusb_port_path(device) != path) {
            continue;
        }
        int interface_number = 0;
        if (is_instrument(device, &interface_number) ||
            is_bare_controller(device, &interface_number)) {
            return Located{libusb_ref_device(device), interface_number};
        }
    }
    return std::nullopt;
}

void LibusbBackend::explain_access_denied() {
    if (access_hint_shown_) {
        return;
    }
    access_hint_shown_ = true;
    // On the error stream: standard output may carry machine-read records.
    std::fprintf(stderr,
                 "Access to the instrument was denied. The udev rules 70-ombrix.rules give the "
                 "user logged in at the seat access: the package installs them in "
                 "/lib/udev/rules.d; otherwise copy resources/linux/70-ombrix.rules to "
                 "/etc/udev/rules.d. Then replug the instrument, or run as root.\n");
}
