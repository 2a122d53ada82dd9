// The UsbBackend primitives of the simulated USB stack.
#include <algorithm>
#include <cstring>

#include "sim/sim_backend.h"

namespace sim {
namespace {

constexpr int DESCRIPTOR_FAILED = -1;

}  // namespace

void SimBackend::list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
    const bool bare = interface_class == BARE_CONTROLLER_CLASS;
    if (!bare && !(interface_class == INSTRUMENT_INTERFACE_CLASS)) {
        return;
    }
    for (const auto& port : ports_) {
        const Instrument& device = *port->instrument;
        if (bare ? device.bare() : device.shows_interface()) {
            paths.push_back(device.path());
        }
    }
}

int SimBackend::open(UsbDevice& device) {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
    device.context = nullptr;
    Port* port = device.path != nullptr ? find_port(std::string(device.path)) : nullptr;
    if (port == nullptr || !(port->instrument->shows_interface() || port->instrument->bare())) {
        return USB_OPEN_FAILED;
    }
    if (clock_.now_us() < port->held_until_us) {
        return USB_OPEN_HELD;
    }
    auto handle = std::make_unique<Handle>();
    handle->port_id = port->id;
    handle->session = port->instrument->session();
    device.context = reinterpret_cast<DeviceContext*>(handle.get());
    handles_.push_back(std::move(handle));
    return USB_OPEN_OK;
}

int SimBackend::get_descriptor(UsbDevice& device, std::uint8_t type, std::uint8_t index,
                               std::span<std::uint8_t> buffer) {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
    Handle* handle = handle_of(device);
    Instrument* instrument = handle != nullptr ? live_instrument(*handle) : nullptr;
    if (instrument == nullptr) {
        return DESCRIPTOR_FAILED;
    }
    const auto descriptor = instrument->descriptor(type, index);
    if (!descriptor) {
        return DESCRIPTOR_FAILED;
    }
    const std::size_t count = std::min(buffer.size(), descriptor->size());
    std::copy_n(descriptor->begin(), count, buffer.begin());
    clock_.advance_us(instrument->timing().transfer_us(count));
    return static_cast<int>(count);
}

void SimBackend::open_pipe(UsbDevice& device, PipeState& pipe, bool out) {
    const std::lock_guard lock(mutex_);
    Handle* handle = handle_of(device);
    if (handle == nullptr) {
        return;
    }
    auto context = std::make_unique<Pipe>();
    context->endpoint = pipe.endpoint_address;
    context->out = out;
    pipe.context = reinterpret_cast<PipeContext*>(context.get());
    pipe.max_transfer_size = MAX_TRANSFER_SIZE;
    handle->pipes.push_back(std::move(context));
}

void SimBackend::close_pipe(UsbDevice& device, PipeState& pipe) {
    const std::lock_guard lock(mutex_);
    Handle* handle = handle_of(device);
    Pipe* context = pipe_of(device, pipe);
    pipe.context = nullptr;
    if (context == nullptr) {
        return;
    }
    end_in_flight(*handle, *context, TransferStatus::aborted, clock_.now_us());
    std::erase_if(handle->pipes, [context](const auto& owned) { return owned.get() == context; });
}

void SimBackend::close(UsbDevice& device) {
    const std::lock_guard lock(mutex_);
    Handle* handle = handle_of(device);
    device.context = nullptr;
    if (handle == nullptr) {
        return;
    }
    for (auto& pipe : handle->pipes) {
        end_in_flight(*handle, *pipe, TransferStatus::aborted, clock_.now_us());
    }
    std::erase_if(handles_, [handle](const auto& owned) { return owned.get() == handle; });
}

int SimBackend::control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                                 std::span<std::uint8_t> data) {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
    Handle* handle = handle_of(device);
    Instrument* instrument = handle != nullptr ? live_instrument(*handle) : nullptr;
    if (instrument == nullptr) {
        return CONTROL_REQUEST_FAILED;
    }
    const auto outcome = instrument->control_transfer(setup, data, clock_.now_us());
    clock_.advance_us(outcome.duration_us);
    run_until(clock_.now_us());
    return outcome.failed ? CONTROL_REQUEST_FAILED : outcome.bytes;
}

bool SimBackend::start_write(UsbDevice& device, PipeState& pipe,
                             std::span<const std::uint8_t> data) {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
    Handle* handle = handle_of(device);
    Pipe* context = pipe_of(device, pipe);
    Instrument* instrument = handle != nullptr ? live_instrument(*handle) : nullptr;
    if (instrument == nullptr || context == nullptr || !context->out ||
        context->state == Pipe::State::in_flight) {
        return false;
    }
    const auto outcome = instrument->bulk_write(context->endpoint, data, clock_.now_us());
    if (!outcome.started) {
        return false;
    }
    context->state = Pipe::State::in_flight;
    context->write_complete_us = outcome.complete_us;
    context->record = outcome.record;
    context->started_us = clock_.now_us();
    context->transferred = outcome.accepted;
    run_until(clock_.now_us());
    return true;
}

bool SimBackend::start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
    Handle* handle = handle_of(device);
    Pipe* context = pipe_of(device, pipe);
    Instrument* instrument = handle != nullptr ? live_instrument(*handle) : nullptr;
    if (instrument == nullptr || context == nullptr || context->out ||
        context->state == Pipe::State::in_flight) {
        return false;
    }
    const auto record =
        instrument->begin_bulk_read(context->endpoint, data.size(), clock_.now_us());
    if (!record) {
        run_until(clock_.now_us());
        return false;
    }
    context->state = Pipe::State::in_flight;
    context->read_buffer = data;
    context->record = *record;
    context->started_us = clock_.now_us();
    context->transferred = 0;
    run_until(clock_.now_us());
    return true;
}

bool SimBackend::wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
    Pipe* context = pipe_of(device, pipe);
    if (context == nullptr) {
        return false;
    }
    const std::uint64_t deadline = clock_.now_us() + std::uint64_t{timeout_ms} * 1000;
    if (context->state == Pipe::State::idle) {
        // Nothing in flight: the completion event is never signalled.
        clock_.advance_to_us(deadline);
        run_until(deadline);
        return false;
    }
    while (context->state == Pipe::State::in_flight) {
        const auto next = next_event_us();
        if (!next || *next > deadline) {
            clock_.advance_to_us(deadline);
            run_until(deadline);
            break;
        }
        clock_.advance_to_us(*next);
        run_until(*next);
    }
    return context->state == Pipe::State::completed;
}

bool SimBackend::finish(UsbDevice& device, PipeState& pipe, int* transferred) {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
    Pipe* context = pipe_of(device, pipe);
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (context == nullptr || context->state != Pipe::State::completed) {
        return false;
    }
    context->state = Pipe::State::idle;
    if (transferred != nullptr && context->ok) {
        *transferred = static_cast<int>(context->transferred);
    }
    return context->ok;
}

void SimBackend::abort(UsbDevice& device, PipeState& pipe) {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
    Handle* handle = handle_of(device);
    Pipe* context = pipe_of(device, pipe);
    if (context == nullptr) {
        return;
    }
    end_in_flight(*handle, *context, TransferStatus::aborted, clock_.now_us());
    context->state = Pipe::State::idle;
}

}  // namespace sim
