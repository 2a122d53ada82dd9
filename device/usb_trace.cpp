#include "device/usb_trace.h"

#include <cerrno>
#include <algorithm>
#include <array>

#include "device/clock.h"

namespace {

constexpr std::uint8_t USBMON_DIRECTION_IN = 0x80;
constexpr std::uint32_t USBMON_URB_DIR_IN = 0x0200;  // xfer_flags bit of an IN transfer
constexpr std::uint16_t TRACE_BUS_NUMBER = 1;
constexpr std::uint8_t LAST_DEVICE_NUMBER = 127;
constexpr std::uint8_t REQUEST_GET_DESCRIPTOR = 6;
constexpr std::uint32_t MAX_CAPTURED_DATA = PCAP_SNAPLEN - USBMON_HEADER_SIZE;

// The file is written little-endian whatever the host, and its magic says so.
void put_u16(std::uint8_t* destination, std::uint16_t value) {
    destination[0] = static_cast<std::uint8_t>(value);
    destination[1] = static_cast<std::uint8_t>(value >> 8);
}

void put_u32(std::uint8_t* destination, std::uint32_t value) {
    put_u16(destination, static_cast<std::uint16_t>(value));
    put_u16(destination + 2, static_cast<std::uint16_t>(value >> 16));
}

void put_u64(std::uint8_t* destination, std::uint64_t value) {
    put_u32(destination, static_cast<std::uint32_t>(value));
    put_u32(destination + 4, static_cast<std::uint32_t>(value >> 32));
}

std::array<std::uint8_t, 8> setup_bytes(const UsbSetupPacket& setup) {
    std::array<std::uint8_t, 8> bytes{};
    bytes[0] = setup.request_type;
    bytes[1] = setup.request;
    put_u16(&bytes[2], setup.value);
    put_u16(&bytes[4], setup.index);
    put_u16(&bytes[6], setup.length);
    return bytes;
}

bool is_in(std::uint8_t endpoint) {
    return (endpoint & USBMON_DIRECTION_IN) != 0;
}

// usbmon marks why an event carries no data: an IN submit has none yet ('<'),
// an OUT completion sent it already ('>').
std::uint8_t data_flag(char type, std::uint8_t endpoint, bool has_data) {
    if (has_data) {
        return 0;
    }
    if (type == 'S' && is_in(endpoint)) {
        return '<';
    }
    if (type == 'C' && !is_in(endpoint)) {
        return '>';
    }
    return '=';
}

std::uint32_t clamped_count(int count, std::size_t limit) {
    return static_cast<std::uint32_t>(
        std::clamp<long long>(count, 0, static_cast<long long>(limit)));
}

// The primitive reports a failed request as 0 bytes; a short IN answer is normal.
std::int32_t control_status(bool in, std::uint32_t arrived, std::size_t asked) {
    const bool failed = in ? arrived == 0 && asked != 0 : arrived != asked;
    return failed ? USBMON_STATUS_PIPE_ERROR : 0;
}

}  // namespace

std::unique_ptr<UsbTraceRecorder> UsbTraceRecorder::create(const std::string& path,
                                                           UsbBackend& wrapped) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return nullptr;
    }
    std::unique_ptr<UsbTraceRecorder> recorder(new UsbTraceRecorder(file, wrapped));
    std::array<std::uint8_t, PCAP_FILE_HEADER_SIZE> header{};
    put_u32(&header[0], PCAP_MAGIC);
    put_u16(&header[4], 2);  // format version 2.4
    put_u16(&header[6], 4);
    put_u32(&header[16], PCAP_SNAPLEN);
    put_u32(&header[20], PCAP_LINKTYPE_USB_LINUX_MMAPPED);
    recorder->write_bytes(header.data(), header.size());
    recorder->flush();
    if (!recorder->healthy()) {
        return nullptr;
    }
    return recorder;
}

UsbTraceRecorder::UsbTraceRecorder(std::FILE* file, UsbBackend& wrapped)
    : ForwardingUsbBackend(wrapped), file_(file) {}

void UsbTraceRecorder::write_failed() {
    if (healthy_.exchange(false)) {
        failure_errno_.store(errno);
    }
}

void UsbTraceRecorder::write_bytes(const void* bytes, std::size_t size) {
    errno = 0;
    if (size != 0 && std::fwrite(bytes, 1, size, file_.get()) != size) {
        write_failed();
    }
}

// Each record reaches the file as it is made: a trace cut short by a crash
// still holds what came before, and a full disk is found at once.
void UsbTraceRecorder::flush() {
    errno = 0;
    if (std::fflush(file_.get()) != 0) {
        write_failed();
    }
}

void UsbTraceRecorder::write_event(const Event& event) {
    const std::uint64_t now_ms = clock_current().now_ms();
    const auto seconds = static_cast<std::uint32_t>(now_ms / 1000);
    const auto microseconds = static_cast<std::uint32_t>(now_ms % 1000 * 1000);
    const auto captured =
        static_cast<std::uint32_t>(std::min<std::size_t>(event.data.size(), MAX_CAPTURED_DATA));

    std::array<std::uint8_t, PCAP_RECORD_HEADER_SIZE + USBMON_HEADER_SIZE> record{};
    std::uint8_t* pcap = record.data();
    put_u32(pcap, seconds);
    put_u32(pcap + 4, microseconds);
    put_u32(pcap + 8, USBMON_HEADER_SIZE + captured);
    put_u32(pcap + 12, USBMON_HEADER_SIZE + static_cast<std::uint32_t>(event.data.size()));

    std::uint8_t* usbmon = pcap + PCAP_RECORD_HEADER_SIZE;
    put_u64(usbmon, event.id);
    usbmon[8] = static_cast<std::uint8_t>(event.type);
    usbmon[9] = event.transfer_type;
    usbmon[10] = event.endpoint;
    usbmon[11] = event.device_number;
    put_u16(usbmon + 12, TRACE_BUS_NUMBER);
    usbmon[14] = event.setup != nullptr ? 0 : '-';
    usbmon[15] = data_flag(event.type, event.endpoint, captured != 0);
    put_u64(usbmon + 16, seconds);
    put_u32(usbmon + 24, microseconds);
    put_u32(usbmon + 28, static_cast<std::uint32_t>(event.status));
    put_u32(usbmon + 32, event.urb_length);
    put_u32(usbmon + 36, captured);
    if (event.setup != nullptr) {
        std::copy_n(event.setup, 8, usbmon + 40);
    }
    put_u32(usbmon + 56, is_in(event.endpoint) ? USBMON_URB_DIR_IN : 0);

    write_bytes(record.data(), record.size());
    write_bytes(event.data.data(), captured);
    flush();
}

std::uint8_t UsbTraceRecorder::device_number(const UsbDevice& device) {
    const std::string path = device.path != nullptr ? device.path : "";
    const auto known = device_numbers_.find(path);
    if (known != device_numbers_.end()) {
        return known->second;
    }
    const auto number = static_cast<std::uint8_t>(
        std::min<std::size_t>(device_numbers_.size() + 1, LAST_DEVICE_NUMBER));
    device_numbers_.emplace(path, number);
    return number;
}

void UsbTraceRecorder::complete(const PipeState& pipe, std::int32_t status, std::uint32_t length) {
    const auto entry = in_flight_.find(&pipe);
    if (entry == in_flight_.end()) {
        return;
    }
    const InFlight& transfer = entry->second;
    Event event;
    event.id = transfer.id;
    event.type = 'C';
    event.endpoint = transfer.endpoint;
    event.device_number = transfer.device_number;
    event.status = status;
    event.urb_length = length;
    if (status == 0 && is_in(transfer.endpoint)) {
        event.data =
            transfer.in_buffer.first(std::min<std::size_t>(length, transfer.in_buffer.size()));
    }
    write_event(event);
    in_flight_.erase(entry);
}



// Descriptor reads are standard control requests on the bus; recording them
// lets the trace's reader see which device and endpoints were found.
int UsbTraceRecorder::get_descriptor(UsbDevice& device, std::uint8_t type, std::uint8_t index,
                                     std::span<std::uint8_t> buffer) {
    UsbSetupPacket setup;
    setup.request_type = 0x80;
    setup.request = REQUEST_GET_DESCRIPTOR;
    setup.value = static_cast<std::uint16_t>(type << 8 | index);
    setup.length = static_cast<std::uint16_t>(std::min<std::size_t>(buffer.size(), 0xFFFF));
    const auto setup_packet = setup_bytes(setup);

    Event submit;
    submit.id = next_id_++;
    submit.transfer_type = USBMON_XFER_CONTROL;
    submit.endpoint = USBMON_DIRECTION_IN;
    submit.device_number = device_number(device);
    submit.urb_length = setup.length;
    submit.setup = setup_packet.data();
    write_event(submit);

    const int result = ForwardingUsbBackend::get_descriptor(device, type, index, buffer);
    Event completion = submit;
    completion.type = 'C';
    completion.setup = nullptr;
    completion.status = result < 0 ? USBMON_STATUS_PIPE_ERROR : 0;
    completion.urb_length = clamped_count(result, buffer.size());
    completion.data = buffer.first(completion.urb_length);
    write_event(completion);
    return result;
}


void UsbTraceRecorder::close_pipe(UsbDevice& device, PipeState& pipe) {
    complete(pipe, USBMON_STATUS_SHUTDOWN, 0);
    ForwardingUsbBackend::close_pipe(device, pipe);
}

void UsbTraceRecorder::close(UsbDevice& device) {
    std::vector<const PipeState*> pipes_in_flight;
    for (const auto& [pipe, transfer] : in_flight_) {
        if (transfer.device == &device) {
            pipes_in_flight.push_back(pipe);
        }
    }
    for (const PipeState* pipe : pipes_in_flight) {
        complete(*pipe, USBMON_STATUS_SHUTDOWN, 0);
    }
    ForwardingUsbBackend::close(device);
}

int UsbTraceRecorder::control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                                       std::span<std::uint8_t> data) {
    const bool in = (setup.request_type & USBMON_DIRECTION_IN) != 0;
    const auto setup_packet = setup_bytes(setup);

    Event submit;
    submit.id = next_id_++;
    submit.transfer_type = USBMON_XFER_CONTROL;
    submit.endpoint = in ? USBMON_DIRECTION_IN : 0;
    submit.device_number = device_number(device);
    submit.urb_length = setup.length;
    submit.setup = setup_packet.data();
    if (!in) {
        submit.data = data;
    }
    write_event(submit);

    const int result = ForwardingUsbBackend::control_transfer(device, setup, data);
    Event completion = submit;
    completion.type = 'C';
    completion.setup = nullptr;
    completion.urb_length = clamped_count(result, data.size());
    completion.status = result < 0 ? USBMON_STATUS_PIPE_ERROR
                                   : control_status(in, completion.urb_length, data.size());
    completion.data = in ? std::span<const std::uint8_t>(data.first(completion.urb_length))
                         : std::span<const std::uint8_t>();
    write_event(completion);
    return result;
}

bool UsbTraceRecorder::start_write(UsbDevice& device, PipeState& pipe,
                                   std::span<const std::uint8_t> data) {
    complete(pipe, USBMON_STATUS_CANCELLED, 0);  // one transfer per pipe: an unfinished one is gone
    Event submit;
    submit.id = next_id_++;
    submit.endpoint = pipe.endpoint_address;
    submit.device_number = device_number(device);
    submit.urb_length = static_cast<std::uint32_t>(data.size());
    submit.data = data;
    write_event(submit);

    const bool started = ForwardingUsbBackend::start_write(device, pipe, data);
    if (!started) {
        Event error = submit;
        error.type = 'E';
        error.status = USBMON_STATUS_IO_ERROR;
        error.urb_length = 0;
        error.data = {};
        write_event(error);
        return false;
    }
    in_flight_[&pipe] = InFlight{
        &device, submit.id, pipe.endpoint_address, submit.device_number, submit.urb_length, {}};
    return true;
}

bool UsbTraceRecorder::start_read(UsbDevice& device, PipeState& pipe,
                                  std::span<std::uint8_t> data) {
    complete(pipe, USBMON_STATUS_CANCELLED, 0);
    Event submit;
    submit.id = next_id_++;
    submit.endpoint = pipe.endpoint_address;
    submit.device_number = device_number(device);
    submit.urb_length = static_cast<std::uint32_t>(data.size());
    write_event(submit);

    const bool started = ForwardingUsbBackend::start_read(device, pipe, data);
    if (!started) {
        Event error = submit;
        error.type = 'E';
        error.status = USBMON_STATUS_IO_ERROR;
        error.urb_length = 0;
        write_event(error);
        return false;
    }
    in_flight_[&pipe] = InFlight{
        &device, submit.id, pipe.endpoint_address, submit.device_number, submit.urb_length, data};
    return true;
}


bool UsbTraceRecorder::finish(UsbDevice& device, PipeState& pipe, int* transferred) {
    const bool succeeded = ForwardingUsbBackend::finish(device, pipe, transferred);
    const auto entry = in_flight_.find(&pipe);
    if (entry != in_flight_.end()) {
        const int count = succeeded && transferred != nullptr ? *transferred : 0;
        complete(pipe, succeeded ? 0 : USBMON_STATUS_IO_ERROR,
                 clamped_count(count, entry->second.requested));
    }
    return succeeded;
}

void UsbTraceRecorder::abort(UsbDevice& device, PipeState& pipe) {
    ForwardingUsbBackend::abort(device, pipe);
    complete(pipe, USBMON_STATUS_CANCELLED, 0);
}
