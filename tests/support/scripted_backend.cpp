#include "support/scripted_backend.h"

#include <algorithm>
#include <cstring>

#include "device/clock.h"
#include "device/reply_stream.h"

namespace {

// The fake keeps no per-device state of its own; any non-null token marks the record open.
DeviceContext* open_token(ScriptedBackend* backend) {
    return reinterpret_cast<DeviceContext*>(backend);
}

std::size_t copy_bounded(std::span<const std::uint8_t> from, std::span<std::uint8_t> to) {
    const std::size_t count = std::min(from.size(), to.size());
    if (count != 0) {
        std::memcpy(to.data(), from.data(), count);
    }
    return count;
}

void put_word(std::vector<std::uint8_t>& bytes, std::uint32_t word) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>(word >> shift));
    }
}

// A device with one interface and two bulk endpoints, 0x02 OUT and 0x86 IN.
constexpr std::uint8_t DEVICE_DESCRIPTOR[] = {18,   1,    0x00, 0x02, 0xFF, 0, 0, 64, 0x34,
                                              0x12, 0x78, 0x56, 0x00, 0x01, 1, 2, 3,  1};
constexpr std::uint8_t CONFIGURATION_DESCRIPTOR[] = {
    9, 2, 32,   0, 1,    1,    0, 0x80, 50,  // configuration
    9, 4, 0,    0, 2,    0xFF, 0, 0,    0,   // interface with two endpoints
    7, 5, 0x02, 2, 0x00, 0x02, 0,            // bulk OUT 0x02, 512 bytes
    7, 5, 0x86, 2, 0x00, 0x02, 0,            // bulk IN 0x86, 512 bytes
};
constexpr std::uint8_t SERIAL_DESCRIPTOR[] = {10, 3, 'S', 0, 'C', 0, 'R', 0, '1', 0};

}  // namespace

ScriptedBackend::ScriptedBackend() {
    out_pipe_.endpoint_address = PIPE_BULK_OUT;
    out_pipe_.bulk = 1;
    out_pipe_.max_packet_size = 512;
    in_pipe_.endpoint_address = PIPE_BULK_IN;
    in_pipe_.bulk = 1;
    in_pipe_.max_packet_size = 512;
    device_.out_pipe_count = 1;
    device_.in_pipe_count = 1;
    device_.out_pipes = &out_pipe_;
    device_.in_pipes = &in_pipe_;
    device_.path = path_.data();
    device_.context = open_token(this);
}

void ScriptedBackend::queue_read(std::vector<std::uint8_t> bytes, std::uint32_t delay_ms) {
    ScriptedTransfer read;
    read.bytes = std::move(bytes);
    read.delay_ms = delay_ms;
    reads_.push_back(std::move(read));
}

void ScriptedBackend::queue_read_outcome(Outcome outcome) {
    ScriptedTransfer read;
    read.outcome = outcome;
    reads_.push_back(std::move(read));
}

void ScriptedBackend::queue_write_outcome(Outcome outcome, int accept_bytes) {
    ScriptedTransfer write;
    write.outcome = outcome;
    write.accept_bytes = accept_bytes;
    write_outcomes_.push_back(std::move(write));
}

void ScriptedBackend::queue_control_answer(std::vector<std::uint8_t> bytes) {
    control_answers_.push_back(std::move(bytes));
}

void ScriptedBackend::list_interfaces(const Guid&, std::vector<std::string>& paths) {
    paths.push_back(path_);
}

int ScriptedBackend::open(UsbDevice& device) {
    device.context = open_token(this);
    return 0;
}

int ScriptedBackend::get_descriptor(UsbDevice&, std::uint8_t type, std::uint8_t,
                                    std::span<std::uint8_t> buffer) {
    switch (type) {
        case DESCRIPTOR_TYPE_DEVICE:
            return static_cast<int>(copy_bounded(DEVICE_DESCRIPTOR, buffer));
        case DESCRIPTOR_TYPE_CONFIGURATION:
            return static_cast<int>(copy_bounded(CONFIGURATION_DESCRIPTOR, buffer));
        case DESCRIPTOR_TYPE_STRING:
            return static_cast<int>(copy_bounded(SERIAL_DESCRIPTOR, buffer));
        default:
            return -1;
    }
}

void ScriptedBackend::open_pipe(UsbDevice&, PipeState& pipe, bool) {
    pipe.max_transfer_size = 65536;
}

void ScriptedBackend::close_pipe(UsbDevice&, PipeState& pipe) {
    transfer_of(pipe) = Transfer{};
}

void ScriptedBackend::close(UsbDevice& device) {
    device.context = nullptr;
}

int ScriptedBackend::control_transfer(UsbDevice&, const UsbSetupPacket& setup,
                                      std::span<std::uint8_t> data) {
    ControlRequest request;
    request.setup = setup;
    if ((setup.request_type & 0x80) == 0) {
        request.data.assign(data.begin(), data.end());
        control_requests_.push_back(std::move(request));
        return static_cast<int>(data.size());
    }
    std::vector<std::uint8_t> answer(data.size(), 0);
    if (!control_answers_.empty()) {
        answer = std::move(control_answers_.front());
        control_answers_.pop_front();
    }
    const std::size_t count = copy_bounded(answer, data);
    request.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
    control_requests_.push_back(std::move(request));
    return static_cast<int>(count);
}

bool ScriptedBackend::start_write(UsbDevice&, PipeState&, std::span<const std::uint8_t> data) {
    writes_.emplace_back(data.begin(), data.end());
    ScriptedTransfer script;
    script.outcome = default_write_;
    if (!write_outcomes_.empty()) {
        script = std::move(write_outcomes_.front());
        write_outcomes_.pop_front();
    }
    if (script.outcome == Outcome::start_failure) {
        return false;
    }
    write_ = Transfer{};
    write_.in_flight = true;
    write_.out_length = data.size();
    write_.script = std::move(script);
    return true;
}

bool ScriptedBackend::start_read(UsbDevice&, PipeState&, std::span<std::uint8_t> data) {
    ++reads_started_;
    if (!reads_.empty() && reads_.front().outcome == Outcome::start_failure) {
        reads_.pop_front();
        return false;
    }
    read_ = Transfer{};
    read_.in_flight = true;
    read_.in_buffer = data;
    return true;
}

bool ScriptedBackend::wait(UsbDevice&, PipeState& pipe, std::uint32_t timeout_ms) {
    return pipe.endpoint_address == PIPE_BULK_IN ? wait_read(timeout_ms) : wait_write(timeout_ms);
}

// Each scripted read is the fate of one read on the pipe: a timeout entry lets
// one wait pass, and the read stays in flight for the next entry.
bool ScriptedBackend::wait_read(std::uint32_t timeout_ms) {
    if (!read_.in_flight) {
        return false;
    }
    if (read_.completed) {
        return true;
    }
    if (reads_.empty() || reads_.front().outcome == Outcome::start_failure ||
        reads_.front().outcome == Outcome::timeout) {
        if (!reads_.empty() && reads_.front().outcome == Outcome::timeout) {
            reads_.pop_front();
        }
        clock_sleep_ms(timeout_ms);
        return false;
    }
    ScriptedTransfer& next = reads_.front();
    if (next.delay_ms > timeout_ms) {
        next.delay_ms -= timeout_ms;
        clock_sleep_ms(timeout_ms);
        return false;
    }
    clock_sleep_ms(next.delay_ms);
    read_.completed = true;
    read_.failed = next.outcome == Outcome::completion_failure;
    read_.transferred = static_cast<int>(copy_bounded(next.bytes, read_.in_buffer));
    reads_.pop_front();
    return true;
}

bool ScriptedBackend::wait_write(std::uint32_t timeout_ms) {
    if (!write_.in_flight) {
        return false;
    }
    if (write_.script.outcome == Outcome::timeout) {
        clock_sleep_ms(timeout_ms);
        return false;
    }
    write_.completed = true;
    return true;
}

bool ScriptedBackend::finish(UsbDevice&, PipeState& pipe, int* transferred) {
    Transfer& transfer = transfer_of(pipe);
    if (!transfer.in_flight || !transfer.completed) {
        return false;
    }
    const bool out = pipe.endpoint_address == PIPE_BULK_OUT;
    const bool failed =
        out ? transfer.script.outcome == Outcome::completion_failure : transfer.failed;
    int count = transfer.transferred;
    if (out) {
        const int accepted = transfer.script.accept_bytes;
        count = static_cast<int>(transfer.out_length);
        if (accepted >= 0) {
            count = std::min(count, accepted);
        }
    }
    transfer = Transfer{};
    if (failed) {
        return false;
    }
    *transferred = count;
    return true;
}

void ScriptedBackend::abort(UsbDevice&, PipeState& pipe) {
    ++aborts_;
    transfer_of(pipe) = Transfer{};
}

ScriptedBackend::Transfer& ScriptedBackend::transfer_of(const PipeState& pipe) {
    return (pipe.endpoint_address & 0x80) != 0 ? read_ : write_;
}

std::vector<std::uint8_t> frame_bytes(std::uint32_t word_count,
                                      std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> bytes;
    put_word(bytes, FRAME_MAGIC);
    put_word(bytes, word_count);
    put_word(bytes, 0);
    put_word(bytes, 0);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

std::vector<std::uint8_t> frame_bytes(std::span<const std::uint8_t> payload) {
    return frame_bytes(static_cast<std::uint32_t>(payload.size() / 4), payload);
}
