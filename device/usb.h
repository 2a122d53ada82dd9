#pragma once
// The instrument as the core sees it: device records, pipes, result codes,
// vendor requests, and the transfer operations. The operations keep their
// rules here, once (pipe lookup, direction rules, the pending read, the pauses
// after failures); a UsbBackend supplies only the platform's primitives.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/usb_descriptors.h"

// Results of the transfer operations.
constexpr int USB_OK = 0;
constexpr int USB_ERR_FAILED = -1;      // no record, no pipe table, or the transfer failed to start
constexpr int USB_ERR_NO_PIPE = -2;     // the pipe identifier names no pipe of the device
constexpr int USB_ERR_INCOMPLETE = -3;  // the transfer ended but the platform reported it failed
constexpr int USB_ERR_TIMEOUT = -100;   // the transfer did not complete within the timeout

// Vendor requests of the instrument.
constexpr std::uint8_t VREQ_BUS_TRANSFER = 176;  // 0xB0: on-board serial bus (EEPROM, PMBus)
constexpr std::uint8_t VREQ_BUS_ACCESS = 183;    // 0xB7: open (1) / close (0) EEPROM access
constexpr std::uint8_t VREQ_FPGA_STATUS = 193;   // 0xC1: FPGA configuration status
constexpr std::uint8_t VREQ_FPGA_CONFIG = 194;   // 0xC2: announce upload, halt, power-cycle
constexpr std::uint8_t VREQ_RESTART_2 = 197;     // 0xC5: restart, second and last request
constexpr std::uint8_t VREQ_RESTART_1 = 198;     // 0xC6: restart, first request

// wValue high bytes of VREQ_BUS_TRANSFER: the kind of bus transfer.
constexpr std::uint16_t BUS_EEPROM_READ = 0x0200;
constexpr std::uint16_t BUS_EEPROM_WRITE = 0x0600;
constexpr std::uint16_t BUS_PMBUS_WRITE = 0x0100;
constexpr std::uint16_t BUS_PMBUS_READ = 0x0900;
// Serial-bus addresses behind VREQ_BUS_TRANSFER.
constexpr std::uint8_t BUS_ADDRESS_EEPROM = 0x51;
constexpr std::uint8_t BUS_ADDRESS_SUPPLY_A = 0x34;
constexpr std::uint8_t BUS_ADDRESS_SUPPLY_B = 0x35;

// wIndex values of VREQ_FPGA_CONFIG besides the upload announcement.
constexpr std::uint16_t FPGA_CONFIG_HALT = 0x0400;
constexpr std::uint16_t FPGA_CONFIG_POWER_CYCLE = 0x0800;

// The instrument's bulk endpoints.
constexpr int PIPE_BULK_OUT = 0x02;
constexpr int PIPE_BULK_IN = 0x86;

// The instrument's device interface class.
inline constexpr const char* INSTRUMENT_INTERFACE_GUID = "{461498B6-D2FB-40c5-95DD-6E377F19F50E}";

// The USB controller without firmware: its boot EEPROM holds no boot image, so
// it enumerates with the chip's built-in identity, endpoint 0 only, and
// answers nothing but the firmware-load request (internal RAM and CPUCS).
// Other products use the same chip and ids: such a device is only ever
// touched when the user names it.
constexpr std::uint16_t BARE_CONTROLLER_VENDOR_ID = 0x04B4;
constexpr std::uint16_t BARE_CONTROLLER_PRODUCT_ID = 0x8613;
constexpr std::uint8_t VREQ_FIRMWARE_LOAD = 0xA0;  // wValue: RAM address; data: the bytes
constexpr std::uint16_t CONTROLLER_CPUCS = 0xE600;  // bit 0 set holds the 8051 in reset
// The class that list_interfaces takes to list bare controllers. No device
// interface of the system carries it: it names this program's question.
inline constexpr const char* BARE_CONTROLLER_GUID = "{7C2D5A0E-3B8F-4E61-9A47-0B1F5C6D8E92}";

struct PipeContext;    // a backend's transfer context and completion event of one pipe
struct DeviceContext;  // a backend's handles of one open device

struct PipeState {
    std::uint8_t endpoint_address = 0;
    std::uint8_t bulk = 0;  // 1 bulk, 0 interrupt
    std::uint16_t read_pending = 0;
    std::uint16_t max_packet_size = 0;
    std::uint32_t max_transfer_size = 0;
    PipeContext* context = nullptr;  // owned by the backend; one transfer in flight at a time
};

struct UsbDevice {
    UsbDevice* next = nullptr;
    std::int32_t guid_index = 0;
    std::int32_t out_pipe_count = 0;
    std::int32_t in_pipe_count = 0;
    PipeState* out_pipes = nullptr;
    PipeState* in_pipes = nullptr;
    char* path = nullptr;
    DeviceContext* context = nullptr;  // null when closed; owned by the backend
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint16_t manufacturer_index = 0;
    std::uint16_t product_index = 0;
    char serial_number[USB_SERIAL_NUMBER_SIZE] = {};
};

struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::uint8_t data4[8] = {};
    friend bool operator==(const Guid&, const Guid&) = default;
};

struct UsbSetupPacket {
    std::uint8_t request_type = 0;  // 0x40 vendor out, 0xC0 vendor in
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

// Descriptor types read while opening.
constexpr std::uint8_t DESCRIPTOR_TYPE_DEVICE = 1;
constexpr std::uint8_t DESCRIPTOR_TYPE_CONFIGURATION = 2;
constexpr std::uint8_t DESCRIPTOR_TYPE_STRING = 3;

// The platform's primitives. Each member's contract:
//  - list_interfaces: appends the path of every present interface of the class;
//    for BARE_CONTROLLER_GUID, the path of every bare controller (a backend that
//    cannot reach one lists none); may report what went wrong through
//    usb_diagnostic (device/diagnostics.h); never fails otherwise.
//  - open: opens the path for overlapped I/O and binds the USB interface (a
//    bare controller has none to bind: endpoint 0 is enough);
//    USB_OPEN_OK, USB_OPEN_FAILED when the path would not open, USB_OPEN_HELD
//    when the interface was refused (held by another program: usb_open_device
//    tries again for a moment). On success device.context is set; on failure
//    nothing stays open.
//  - get_descriptor: standard descriptor into buffer; the bytes that arrived
//    (never more than buffer.size()), or a negative value. May block.
//  - open_pipe: creates the pipe's transfer context and completion event and
//    reads its maximum transfer size; for OUT pipes also sets the policies
//    (auto clear stall, no partial reads, raw I/O). Failures are not reported.
//  - close_pipe: releases what open_pipe made (after any abort).
//  - close: releases device.context; harmless on a closed record.
//  - control_transfer: one synchronous vendor request on endpoint 0; returns the
//    bytes transferred (never more than data.size()), or CONTROL_REQUEST_FAILED
//    when the platform reported that the request failed: for a request without
//    data that is the only way to tell a stall from success.
//  - start_write / start_read: starts the pipe's one transfer; false when it
//    failed to start (neither pending nor complete).
//  - wait: waits up to timeout_ms for the pipe's completion event; true when
//    it was signalled.
//  - finish: the completed transfer's result without waiting; true and the
//    byte count on success, false when the platform reports it failed.
//  - abort: cancels whatever is in flight on the pipe.
constexpr int CONTROL_REQUEST_FAILED = -1;

// Results of UsbBackend::open and of usb_open_device.
constexpr int USB_OPEN_OK = 0;
constexpr int USB_OPEN_FAILED = -1;  // the path would not open (or no backend, no path)
constexpr int USB_OPEN_HELD = -2;    // the interface was refused: another program holds it
// usb_open_device alone, after the backend opened the path (it is closed again):
constexpr int USB_OPEN_NO_DEVICE_DESCRIPTOR = -3;  // the device descriptor did not arrive whole
constexpr int USB_OPEN_NO_CONFIGURATION = -4;      // no configuration descriptor arrived

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    virtual void list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) = 0;
    virtual int open(UsbDevice& device) = 0;
    virtual int get_descriptor(UsbDevice& device, std::uint8_t type, std::uint8_t index,
                               std::span<std::uint8_t> buffer) = 0;
    virtual void open_pipe(UsbDevice& device, PipeState& pipe, bool out) = 0;
    virtual void close_pipe(UsbDevice& device, PipeState& pipe) = 0;
    virtual void close(UsbDevice& device) = 0;
    virtual int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                                 std::span<std::uint8_t> data) = 0;
    virtual bool start_write(UsbDevice& device, PipeState& pipe,
                             std::span<const std::uint8_t> data) = 0;
    virtual bool start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) = 0;
    virtual bool wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) = 0;
    virtual bool finish(UsbDevice& device, PipeState& pipe, int* transferred) = 0;
    virtual void abort(UsbDevice& device, PipeState& pipe) = 0;
};

// The backend every usb_* call dispatches to; installed by the front end at
// start-up (nullptr uninstalls: every operation then fails).
void usb_install_backend(UsbBackend* backend);
UsbBackend* usb_installed_backend();

int _parse_guid(const char* text, Guid* guid);

// Lists the present devices of each class, opening each one briefly; a class
// text that does not parse is reported through usb_diagnostic and skipped.
int usb_find_devices(const char* const* guid_texts, int count, UsbDevice** list);
void usb_free_device_list(UsbDevice* list);
// Opens a listed device and reads its identity and pipe counts; with_pipes
// also opens its pipes. One of the USB_OPEN_* results.
int usb_open_device(UsbDevice* device, int with_pipes);
int usb_close_device(UsbDevice* device);

int usb_control_transfer(UsbDevice* device, int out, int request, int value, int index,
                         int* length, void* data);
int usb_bulk_write(UsbDevice* device, int pipe, const void* buffer, int length, int* transferred,
                   int timeout_ms);
int usb_bulk_read(UsbDevice* device, int pipe, void* buffer, int length, int* transferred,
                  int timeout_ms);
