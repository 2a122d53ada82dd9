#pragma once
// The instrument over libusb-1.0 (Linux): discovery by the vendor and product
// ids of the instrument's boot image (and of bare controllers by the chip's
// built-in ids; libusb_discovery.h tells them apart), a path naming the
// physical port, the interface claimed at open, synchronous control transfers,
// and one asynchronous libusb_transfer per pipe whose completion is awaited by
// handling libusb's events (blocking in its poll, never spinning).
//
// Paths look like "usb:1-4.2" (bus 1, port 4 of the root hub, port 2 of the
// hub behind it); they stay the same when the instrument restarts and comes
// back with a new device address.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/libusb/instrument_usb_ids.h"
#include "device/usb.h"

struct libusb_context;
namespace libusb_backend {
struct Device;
struct Pipe;
}

class LibusbBackend final : public UsbBackend {
  public:
    explicit LibusbBackend(InstrumentUsbIds ids);
    ~LibusbBackend() override;
    LibusbBackend(const LibusbBackend&) = delete;
    LibusbBackend& operator=(const LibusbBackend&) = delete;

    // false when libusb could not be initialised: every operation then fails.
    bool usable() const { return context_ != nullptr; }

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

    // libusb has no transfer-size policy; usbfs splits larger transfers itself,
    // and the core never moves more than a few KiB at once. Well inside the
    // kernel's default usbfs memory budget (16 MiB).
    static constexpr std::uint32_t MAX_TRANSFER_SIZE = 1024 * 1024;
    // The control pipe has no timeout of the utility's own; this bounds a
    // request to a device that stopped answering.
    static constexpr unsigned int CONTROL_TIMEOUT_MS = 5000;
    // How long a cancelled transfer may take to come back before it is given
    // up as still owned by the kernel.
    static constexpr std::uint32_t CANCEL_SETTLE_TIMEOUT_MS = 1000;

  private:
    void explain_access_denied();
    // Handles events until *completed is set or timeout_ms passes.
    void handle_events_until(const int* completed, std::uint32_t timeout_ms);
    // Cancels the pipe's transfer and handles events until its callback ran.
    void cancel_and_reap(libusb_backend::Pipe& pipe);
    bool start_transfer(UsbDevice& device, PipeState& pipe, std::uint8_t* buffer,
                        std::size_t length);
    // Replaces the context with a fresh one while no device is open.
    void refresh_context();
    // Forgets a pipe, noting whether its transfer was left to libusb.
    void forget(libusb_backend::Device& device, libusb_backend::Pipe* pipe);

    InstrumentUsbIds ids_;
    libusb_context* context_ = nullptr;
    bool access_hint_shown_ = false;
    int open_devices_ = 0;
    // A transfer that never came back from a cancel keeps its context alive.
    bool transfer_abandoned_ = false;
};
