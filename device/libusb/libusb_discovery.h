#pragma once
// Finding instruments with libusb: which devices are instruments, which are
// bare controllers, the path that names their port, and finding a device
// again by that path. Each function enumerates the devices of the context it
// is given, as that context knows them at the call.
//
// Paths look like "usb:1-4.2" (bus 1, port 4 of the root hub, port 2 of the
// hub behind it); they stay the same when the instrument restarts and comes
// back with a new device address.
#include <optional>
#include <string>
#include <vector>

#include "device/libusb/instrument_usb_ids.h"
#include "device/libusb/libusb_context.h"

enum class LibusbDeviceKind {
    // The instrument's ids and a configuration carrying its bulk pipes.
    instrument,
    // The chip's built-in ids and no instrument interface.
    bare_controller,
};

// The port paths of the context's devices of that kind, in libusb's order.
std::vector<std::string> libusb_port_paths(libusb_context* context, InstrumentUsbIds ids,
                                           LibusbDeviceKind kind);

// An instrument or bare controller found at a path, and the interface to
// claim on it: -1 for a bare controller without one.
struct LocatedLibusbDevice {
    libusb_backend::LibusbDeviceRef device;
    int interface_number = 0;
};

// The instrument or bare controller at the path: the path alone names the
// device. nullopt when neither is there.
std::optional<LocatedLibusbDevice> locate_libusb_device(libusb_context* context,
                                                        InstrumentUsbIds ids,
                                                        const std::string& path);

// The port path of a device: "usb:BUS-PORT.PORT...", or empty when libusb
// does not know the device's ports (a root hub).
std::string libusb_port_path(libusb_device* device);
