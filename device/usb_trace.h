#pragma once
// A transfer trace: a backend that forwards every primitive to the backend it
// wraps and records each control and bulk transfer to a pcap file in the Linux
// usbmon memory-mapped format (link type 220), so Wireshark decodes the vendor
// requests and bulk payloads. Timestamps come from the installed Clock, so a
// trace taken against the simulated instrument carries its virtual time.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device/forwarding_backend.h"
#include "device/usb.h"

constexpr std::uint32_t PCAP_MAGIC = 0xA1B2C3D4;
constexpr std::uint32_t PCAP_SNAPLEN = 262144;
constexpr std::uint32_t PCAP_LINKTYPE_USB_LINUX_MMAPPED = 220;
constexpr int PCAP_FILE_HEADER_SIZE = 24;
constexpr int PCAP_RECORD_HEADER_SIZE = 16;
constexpr int USBMON_HEADER_SIZE = 64;

// usbmon transfer types and the Linux status codes the trace reports.
constexpr std::uint8_t USBMON_XFER_CONTROL = 2;
constexpr std::uint8_t USBMON_XFER_BULK = 3;
constexpr std::int32_t USBMON_STATUS_IO_ERROR = -5;     // -EIO: the platform reported a failure
constexpr std::int32_t USBMON_STATUS_PIPE_ERROR = -32;  // -EPIPE: a control request got nothing
constexpr std::int32_t USBMON_STATUS_CANCELLED = -104;  // -ECONNRESET: aborted in flight
constexpr std::int32_t USBMON_STATUS_SHUTDOWN = -108;   // -ESHUTDOWN: pipe closed in flight

class UsbTraceRecorder final : public ForwardingUsbBackend {
  public:
    // Creates the trace file at path (replacing one that exists); nullptr when
    // it cannot be created. The wrapped backend must outlive the recorder.
    static std::unique_ptr<UsbTraceRecorder> create(const std::string& path, UsbBackend& wrapped);

    int get_descriptor(UsbDevice& device, std::uint8_t type, std::uint8_t index,
                       std::span<std::uint8_t> buffer) override;
    void close_pipe(UsbDevice& device, PipeState& pipe) override;
    void close(UsbDevice& device) override;
    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override;
    bool start_write(UsbDevice& device, PipeState& pipe,
                     std::span<const std::uint8_t> data) override;
    bool start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) override;
    bool finish(UsbDevice& device, PipeState& pipe, int* transferred) override;
    void abort(UsbDevice& device, PipeState& pipe) override;

    // False once a record could not be written (a full disk, say); the
    // transfers themselves go on regardless. Read from any thread.
    bool healthy() const { return healthy_.load(); }
    // The errno of the write that failed; 0 while healthy or when none was given.
    int failure_errno() const { return failure_errno_.load(); }

  private:
    // One usbmon event, as it goes into the file.
    struct Event {
        std::uint64_t id = 0;
        char type = 'S';  // 'S' submit, 'C' completion, 'E' submission error
        std::uint8_t transfer_type = USBMON_XFER_BULK;
        std::uint8_t endpoint = 0;  // with 0x80 for IN
        std::uint8_t device_number = 1;
        std::int32_t status = 0;
        std::uint32_t urb_length = 0;
        const std::uint8_t* setup = nullptr;  // 8 bytes, submits of control transfers only
        std::span<const std::uint8_t> data;   // OUT data on submit, IN data on completion
    };
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    struct InFlight {
        const UsbDevice* device = nullptr;  // identity only: closing it ends its transfers
        std::uint64_t id = 0;
        std::uint8_t endpoint = 0;
        std::uint8_t device_number = 0;
        std::uint32_t requested = 0;
        std::span<std::uint8_t> in_buffer;  // where an IN transfer's data lands
    };

    UsbTraceRecorder(std::FILE* file, UsbBackend& wrapped);
    void write_event(const Event& event);
    void write_bytes(const void* bytes, std::size_t size);
    std::uint8_t device_number(const UsbDevice& device);
    void complete(const PipeState& pipe, std::int32_t status, std::uint32_t length);

    std::unique_ptr<std::FILE, FileCloser> file_;
    std::uint64_t next_id_ = 1;
    std::map<const PipeState*, InFlight> in_flight_;
    std::map<std::string, std::uint8_t> device_numbers_;
    std::atomic<bool> healthy_{true};
    std::atomic<int> failure_errno_{0};
    void write_failed();
    void flush();
};
