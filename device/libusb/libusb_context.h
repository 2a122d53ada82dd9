#pragma once
// What the libusb backend hangs off a UsbDevice and its pipes.
#include <libusb.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "device/usb.h"

namespace libusb_backend {

struct LibusbTransferDeleter {
    void operator()(libusb_transfer* transfer) const { libusb_free_transfer(transfer); }
};
using LibusbTransfer = std::unique_ptr<libusb_transfer, LibusbTransferDeleter>;

struct LibusbHandleCloser {
    void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using LibusbHandle = std::unique_ptr<libusb_device_handle, LibusbHandleCloser>;

struct LibusbDeviceUnref {
    void operator()(libusb_device* device) const { libusb_unref_device(device); }
};
using LibusbDeviceRef = std::unique_ptr<libusb_device, LibusbDeviceUnref>;

// The device list of one enumeration, freed with its references.
class LibusbDeviceList {
  public:
    explicit LibusbDeviceList(libusb_context* context) {
        const ssize_t count = context != nullptr ? libusb_get_device_list(context, &devices_) : 0;
        count_ = count > 0 ? static_cast<std::size_t>(count) : 0U;
    }
    ~LibusbDeviceList() {
        if (devices_ != nullptr) {
            libusb_free_device_list(devices_, 1);
        }
    }
    LibusbDeviceList(const LibusbDeviceList&) = delete;
    LibusbDeviceList& operator=(const LibusbDeviceList&) = delete;

    libusb_device* const* begin() const { return devices_; }
    libusb_device* const* end() const { return devices_ + count_; }

  private:
    libusb_device** devices_ = nullptr;
    std::size_t count_ = 0;
};

// One pipe: its one transfer and the completion flag the callback sets.
struct Pipe {
    LibusbTransfer transfer;
    std::uint8_t endpoint = 0;
    bool interrupt = false;
    bool in_flight = false;  // submitted and its callback has not run yet
    int completed = 0;       // set by the callback; cleared when the next transfer starts
    // A cancelled transfer that never came back still belongs to libusb: it
    // is left allocated rather than freed under the kernel.
    bool abandoned = false;
};

struct Device {
    LibusbHandle handle;
    int interface_number = 0;
    bool claimed = false;
    std::vector<std::unique_ptr<Pipe>> pipes;
};

// The records keep only opaque pointers to these.
inline Device* device_of(const UsbDevice& device) {
    return reinterpret_cast<Device*>(device.context);
}
inline Pipe* pipe_of(const PipeState& pipe) {
    return reinterpret_cast<Pipe*>(pipe.context);
}

}  // namespace libusb_backend
