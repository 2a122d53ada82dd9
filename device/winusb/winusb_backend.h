#pragma once
// The instrument over SetupAPI and WinUSB: discovery by device interface
// class, the device opened for overlapped I/O, one OVERLAPPED and one
// auto-reset event per pipe. Every system call goes through the WinUsbApi
// table the backend is given.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/usb.h"
#include "device/winusb/winusb_api.h"

class WinUsbBackend final : public UsbBackend {
  public:
    explicit WinUsbBackend(const WinUsbApi& api = winusb_system_api()) : api_(api) {}
    WinUsbBackend(const WinUsbBackend&) = delete;
    WinUsbBackend& operator=(const WinUsbBackend&) = delete;

    void list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) override;
    int open(UsbDevice& device) override;
    int get_descriptor(UsbDevice& device, std::uint8_t type, std::uint8_t index,
                       std::span<std::uint8_t> buffer) override;
    void open_pipe(UsbDevice& device, PipeState& pipe, bool out) override;
    void close_pipe(UsbDevice& device, PipeState& pipe) override;
    void close(UsbDevice& device) override;
    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override;
    bool start_write(UsbDevice& device, PipeState& pipe,
                     std::span<const std::uint8_t> data) override;
    bool start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) override;
    bool wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) override;
    bool finish(UsbDevice& device, PipeState& pipe, int* transferred) override;
    void abort(UsbDevice& device, PipeState& pipe) override;

    // How long an aborted transfer may take to report its cancellation before
    // its OVERLAPPED is given up as still owned by the driver.
    static constexpr DWORD ABORT_SETTLE_TIMEOUT_MS = 1000;

  private:
    // false: stop enumerating the class.
    bool append_interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interface_data,
                               std::vector<std::string>& paths);
    bool start_transfer(UsbDevice& device, PipeState& pipe, bool out, PUCHAR buffer,
                        std::size_t length);
    void set_pipe_policy(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id, ULONG policy,
                         UCHAR value);

    const WinUsbApi& api_;
};
