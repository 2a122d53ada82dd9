// Finding instruments with libusb: which devices are instruments, which are
// bare controllers, the path that names their port, and finding a device
// again by that path.
#include "device/libusb/libusb_discovery.h"

#include <libusb.h>

#include <memory>

#include "device/usb.h"

namespace {

using libusb_backend::LibusbDeviceList;
using libusb_backend::LibusbDeviceRef;

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

// An instrument: the boot image's ids, and a configuration that carries the
// instrument's bulk pipes. Firmware with the same ids but without them (a
// boot loader) is not one. A configuration libusb cannot parse is left for
// the core to judge at open, which reads the descriptors itself.
bool is_instrument(libusb_device* device, InstrumentUsbIds ids, int* interface_number) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
        descriptor.idVendor != ids.vendor_id || descriptor.idProduct != ids.product_id) {
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

bool is_of_kind(libusb_device* device, InstrumentUsbIds ids, LibusbDeviceKind kind,
                int* interface_number) {
    return kind == LibusbDeviceKind::instrument ? is_instrument(device, ids, interface_number)
                                                : is_bare_controller(device, interface_number);
}

}  // namespace

std::vector<std::string> libusb_port_paths(libusb_context* context, InstrumentUsbIds ids,
                                           LibusbDeviceKind kind) {
    std::vector<std::string> paths;
    const LibusbDeviceList devices(context);
    for (libusb_device* device : devices) {
        int interface_number = 0;
        if (!is_of_kind(device, ids, kind, &interface_number)) {
            continue;
        }
        std::string path = libusb_port_path(device);
        if (!path.empty()) {
            paths.push_back(std::move(path));
        }
    }
    return paths;
}

// An instrument, or a bare controller: the recovery of an instrument whose
// controller lost its firmware opens the bare controller at its path.
std::optional<LocatedLibusbDevice> locate_libusb_device(libusb_context* context,
                                                        InstrumentUsbIds ids,
                                                        const std::string& path) {
    const LibusbDeviceList devices(context);
    for (libusb_device* device : devices) {
        if (libusb_port_path(device) != path) {
            continue;
        }
        int interface_number = 0;
        if (is_instrument(device, ids, &interface_number) ||
            is_bare_controller(device, &interface_number)) {
            return LocatedLibusbDevice{LibusbDeviceRef(libusb_ref_device(device)),
                                       interface_number};
        }
    }
    return std::nullopt;
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
