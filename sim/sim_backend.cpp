#include "sim/sim_backend.h"

#include <algorithm>
#include <cstdio>

namespace sim {

const Guid INSTRUMENT_INTERFACE_CLASS = {
    0x461498B6, 0xD2FB, 0x40C5, {0x95, 0xDD, 0x6E, 0x37, 0x7F, 0x19, 0xF5, 0x0E}};
const Guid BARE_CONTROLLER_CLASS = {
    0x7C2D5A0E, 0x3B8F, 0x4E61, {0x9A, 0x47, 0x0B, 0x1F, 0x5C, 0x6D, 0x8E, 0x92}};

SimBackend::SimBackend(VirtualClock& clock) : clock_(clock) {}

SimBackend::~SimBackend() = default;

// ---- ports ----

Instrument& SimBackend::attach(std::unique_ptr<Instrument> instrument) {
    const std::lock_guard lock(mutex_);
    auto port = std::make_unique<Port>();
    port->id = next_port_id_++;
    if (instrument->path().empty()) {
        char path[128];
        std::snprintf(
            path, sizeof path,
            "\\\\?\\usb#vid_%04x&pid_%04x#sim-port-%u#{461498b6-d2fb-40c5-95dd-6e377f19f50e}",
            instrument->identity().vendor_id, instrument->identity().product_id,
            static_cast<unsigned>(port->id));
        instrument->set_path(path);
    }
    instrument->plug_in();
    port->instrument = std::move(instrument);
    ports_.push_back(std::move(port));
    return *ports_.back()->instrument;
}

Instrument& SimBackend::attach(InstrumentConfig config, const ImageSet& images) {
    return attach(std::make_unique<Instrument>(std::move(config), images));
}

std::unique_ptr<Instrument> SimBackend::detach(const Instrument& instrument) {
    const std::lock_guard lock(mutex_);
    const auto found = std::find_if(ports_.begin(), ports_.end(), [&](const auto& port) {
        return port->instrument.get() == &instrument;
    });
    if (found == ports_.end()) {
        return nullptr;
    }
    for (auto& handle : handles_) {
        if (handle->port_id == (*found)->id) {
            for (auto& pipe : handle->pipes) {
                fail_in_flight(*handle, *pipe, clock_.now_us());
            }
            handle->port_id = 0;
        }
    }
    std::unique_ptr<Instrument> unplugged = std::move((*found)->instrument);
    ports_.erase(found);
    unplugged->unplug();
    return unplugged;
}

void SimBackend::set_held_open(const Instrument& instrument, bool held) {
    hold_open_until(instrument, held ? UINT64_MAX : 0);
}

void SimBackend::hold_open_until(const Instrument& instrument, std::uint64_t release_us) {
    const std::lock_guard lock(mutex_);
    if (Port* port = find_port(instrument)) {
        port->held_until_us = release_us;
    }
}

SimBackend::Port* SimBackend::find_port(const std::string& path) {
    for (auto& port : ports_) {
        if (port->instrument->path() == path) {
            return port.get();
        }
    }
    return nullptr;
}

SimBackend::Port* SimBackend::find_port(const Instrument& instrument) {
    for (auto& port : ports_) {
        if (port->instrument.get() == &instrument) {
            return port.get();
        }
    }
    return nullptr;
}

SimBackend::Port* SimBackend::find_port(std::uint32_t id) {
    for (auto& port : ports_) {
        if (port->id == id) {
            return port.get();
        }
    }
    return nullptr;
}

// ---- handles and pipes: contexts are checked against what is open, so a
// stale pointer from the core is never followed ----

SimBackend::Handle* SimBackend::handle_of(const UsbDevice& device) {
    const auto* wanted = reinterpret_cast<const Handle*>(device.context);
    for (auto& handle : handles_) {
        if (handle.get() == wanted) {
            return handle.get();
        }
    }
    return nullptr;
}

SimBackend::Pipe* SimBackend::pipe_of(const UsbDevice& device, const PipeState& pipe) {
    Handle* handle = handle_of(device);
    if (handle == nullptr) {
        return nullptr;
    }
    const auto* wanted = reinterpret_cast<const Pipe*>(pipe.context);
    for (auto& candidate : handle->pipes) {
        if (candidate.get() == wanted) {
            return candidate.get();
        }
    }
    return nullptr;
}

Instrument* SimBackend::live_instrument(const Handle& handle) {
    Port* port = find_port(handle.port_id);
    if (port == nullptr || !port->instrument->present() ||
        port->instrument->session() != handle.session) {
        return nullptr;
    }
    return port->instrument.get();
}

// ---- the event loop ----

std::optional<std::uint64_t> SimBackend::completion_us(const Handle& handle, const Pipe& pipe) {
    if (pipe.state != Pipe::State::in_flight) {
        return std::nullopt;
    }
    Instrument* instrument = live_instrument(handle);
    if (instrument == nullptr) {
        return std::nullopt;
    }
    if (pipe.out) {
        return pipe.write_complete_us;
    }
    return instrument->bulk_read_completion_us(pipe.endpoint, pipe.read_buffer.size(),
                                               pipe.started_us);
}

void SimBackend::complete(Handle& handle, Pipe& pipe, std::uint64_t time_us) {
    Instrument* instrument = live_instrument(handle);
    pipe.state = Pipe::State::completed;
    pipe.ok = true;
    if (pipe.out) {
        instrument->end_transfer(pipe.record, TransferStatus::completed, time_us);
    } else {
        pipe.transferred = instrument->complete_bulk_read(pipe.record, pipe.read_buffer, time_us);
    }
}

void SimBackend::end_in_flight(Handle& handle, Pipe& pipe, TransferStatus status,
                               std::uint64_t time_us) {
    if (pipe.state != Pipe::State::in_flight) {
        return;
    }
    if (Port* port = find_port(handle.port_id)) {
        port->instrument->end_transfer(pipe.record, status, time_us);
    }
    pipe.transferred = 0;
    pipe.ok = false;
    pipe.state = status == TransferStatus::aborted ? Pipe::State::idle : Pipe::State::completed;
}

void SimBackend::fail_in_flight(Handle& handle, Pipe& pipe, std::uint64_t time_us) {
    end_in_flight(handle, pipe, TransferStatus::failed, time_us);
}

void SimBackend::fail_dead_handles(std::uint64_t time_us) {
    for (auto& handle : handles_) {
        if (live_instrument(*handle) == nullptr) {
            for (auto& pipe : handle->pipes) {
                fail_in_flight(*handle, *pipe, time_us);
            }
        }
    }
}

std::optional<std::uint64_t> SimBackend::next_event_us() {
    std::optional<std::uint64_t> next;
    const auto consider = [&next](std::optional<std::uint64_t> time) {
        if (time && (!next || *time < *next)) {
            next = time;
        }
    };
    for (auto& port : ports_) {
        consider(port->instrument->next_event_us());
    }
    for (auto& handle : handles_) {
        for (auto& pipe : handle->pipes) {
            consider(completion_us(*handle, *pipe));
        }
    }
    return next;
}

void SimBackend::run_until(std::uint64_t time_us) {
    std::uint64_t current = clock_.now_us();
    for (auto& port : ports_) {
        if (port->instrument->return_held_back()) {
            port->instrument->advance_to(current);
        }
    }
    for (;;) {
        fail_dead_handles(current);
        // Transfers that complete at the same moment as a scheduled change
        // complete first.
        Handle* due_handle = nullptr;
        Pipe* due_pipe = nullptr;
        std::optional<std::uint64_t> due;
        for (auto& handle : handles_) {
            for (auto& pipe : handle->pipes) {
                const auto at = completion_us(*handle, *pipe);
                if (at && *at <= time_us && (!due || *at < *due)) {
                    due = at;
                    due_handle = handle.get();
                    due_pipe = pipe.get();
                }
            }
        }
        Instrument* due_instrument = nullptr;
        for (auto& port : ports_) {
            const auto at = port->instrument->next_event_us();
            if (at && *at <= time_us && (!due || *at < *due)) {
                due = at;
                due_instrument = port->instrument.get();
                due_pipe = nullptr;
            }
        }
        if (!due) {
            return;
        }
        current = std::max(current, *due);
        if (due_instrument != nullptr) {
            due_instrument->advance_to(*due);
        } else {
            complete(*due_handle, *due_pipe, *due);
        }
    }
}

std::size_t SimBackend::open_handle_count() {
    const std::lock_guard lock(mutex_);
    return handles_.size();
}

void SimBackend::settle() {
    const std::lock_guard lock(mutex_);
    run_until(clock_.now_us());
}

}  // namespace sim
