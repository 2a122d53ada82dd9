#pragma once
// What the WinUSB backend hangs off a UsbDevice and each of its PipeStates.
#include "device/usb.h"
#include "device/winusb/winusb_api.h"

namespace winusb {

// The handles of one open device; released when it goes.
class DeviceHandles {
  public:
    DeviceHandles(const WinUsbApi& api, HANDLE file, WINUSB_INTERFACE_HANDLE interface_handle)
        : api_(api), file_(file), interface_handle_(interface_handle) {}
    ~DeviceHandles() {
        if (interface_handle_ != nullptr) {
            api_.WinUsb_Free(interface_handle_);
        }
        if (file_ != INVALID_HANDLE_VALUE) {
            api_.CloseHandle(file_);
        }
    }
    DeviceHandles(const DeviceHandles&) = delete;
    DeviceHandles& operator=(const DeviceHandles&) = delete;

    WINUSB_INTERFACE_HANDLE interface_handle() const { return interface_handle_; }

  private:
    const WinUsbApi& api_;
    HANDLE file_;
    WINUSB_INTERFACE_HANDLE interface_handle_;
};

// One pipe's transfer context: its OVERLAPPED, whose event is the pipe's
// completion event, and what is known of the transfer that uses it.
class PipeTransfer {
  public:
    explicit PipeTransfer(const WinUsbApi& api) : api_(api) {}
    ~PipeTransfer() {
        if (overlapped.hEvent != nullptr) {
            api_.CloseHandle(overlapped.hEvent);
        }
    }
    PipeTransfer(const PipeTransfer&) = delete;
    PipeTransfer& operator=(const PipeTransfer&) = delete;

    OVERLAPPED overlapped{};
    // Started and not yet collected: the driver owns the OVERLAPPED.
    bool in_flight = false;
    ULONG started_length = 0;
    // The error of a transfer that failed to start, given back after the
    // abort that follows it so the caller still sees why it failed.
    bool restore_error = false;
    DWORD start_error = ERROR_SUCCESS;

  private:
    const WinUsbApi& api_;
};

inline DeviceHandles* handles_of(const UsbDevice& device) {
    return reinterpret_cast<DeviceHandles*>(device.context);
}

inline PipeTransfer* transfer_of(const PipeState& pipe) {
    return reinterpret_cast<PipeTransfer*>(pipe.context);
}

}  // namespace winusb
