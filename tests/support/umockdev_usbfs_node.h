#pragma once
// What the usbfs stand-in keeps of each device node and of each URB submitted
// to it: shared by the testbed side and the ioctl side.
#if defined(__linux__) && defined(OMBRIX_HAVE_UMOCKDEV)
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <deque>
#include <span>

#include "support/umockdev_usbfs.h"

// A submitted URB. The client's memory is reached only through umockdev's
// copies (the client may be another process): the usbdevfs_urb itself and its
// transfer buffer, both written back when the URB is reaped.
struct UmockdevUsbfs::Urb {
    UMockdevIoctlData* data = nullptr;    // the client's usbdevfs_urb, referenced
    UMockdevIoctlData* buffer = nullptr;  // its transfer buffer, referenced; null when empty
    PipeState* pipe = nullptr;            // null for control transfers
    int status = 0;
    int actual_length = 0;

    usbdevfs_urb& fields() const { return *reinterpret_cast<usbdevfs_urb*>(data->data); }
    std::span<std::uint8_t> bytes() const {
        if (buffer == nullptr) {
            return {};
        }
        return {buffer->data, static_cast<std::size_t>(std::max(buffer->data_len, 0))};
    }
    void release() const {
        g_object_unref(data);
        if (buffer != nullptr) {
            g_object_unref(buffer);
        }
    }
};

struct UmockdevUsbfs::Node {
    std::string sim_path;
    int port = 0;
    int device_number = 0;
    std::string sysfs_path;
    std::string devnode;
    // The bus's handle while libusb has the interface claimed.
    std::string bus_path;
    UsbDevice device;
    bool open = false;
    std::map<std::uint8_t, std::unique_ptr<PipeState>> pipes;
    std::vector<Urb> in_flight;
    std::deque<Urb> done;
};
#endif
