// Listing, opening, closing and transfers over libusb-1.0. Bulk transfers are
// asynchronous: the pipe's one libusb_transfer is submitted, and waiting means
// handling libusb's events until its callback has run. A read that timed out
// stays submitted, so the next wait collects it.
#include "device/libusb/libusb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>

#include "device/libusb/libusb_context.h"
#include "device/libusb/libusb_discovery.h"

namespace {

using libusb_backend::Device;
using libusb_backend::device_of;
using libusb_backend::LibusbHandle;
using libusb_backend::LibusbTransfer;
using libusb_backend::Pipe;
using libusb_backend::pipe_of;

constexpr std::uint16_t LANGUAGE_US_ENGLISH = 0x0409;
constexpr std::size_t MAX_CONTROL_LENGTH = 0xFFFF;

void LIBUSB_CALL on_transfer_done(libusb_transfer* transfer) {
    auto* pipe = static_cast<Pipe*>(transfer->user_data);
    pipe->in_flight = false;
    pipe->completed = 1;
}

int control_length(std::size_t length) {
    return static_cast<int>(std::min(length, MAX_CONTROL_LENGTH));
}

// The first language the device lists in string descriptor 0.
std::uint16_t first_language(libusb_device_handle* handle) {
    std::uint8_t languages[4] = {};
    const int got = libusb_get_string_descriptor(handle, 0, 0, languages, sizeof languages);
    if (got < 4 || languages[1] != LIBUSB_DT_STRING) {
        return LANGUAGE_US_ENGLISH;
    }
    return static_cast<std::uint16_t>(languages[2] | (languages[3] << 8));
}

// Drops a pipe's context. One whose transfer never came back from a cancel
// is left allocated: libusb may still call back into it.
void forget_pipe(Device& device, Pipe* pipe) {
    for (auto& owned : device.pipes) {
        if (owned.get() == pipe && pipe->abandoned) {
            (void)owned->transfer.release();
            (void)owned.release();
        }
    }
    std::erase_if(device.pipes,
                  [pipe](const auto& owned) { return owned == nullptr || owned.get() == pipe; });
}

}  // namespace

LibusbBackend::LibusbBackend(InstrumentUsbIds ids) : ids_(ids) {
    if (libusb_init(&context_) != LIBUSB_SUCCESS) {
        context_ = nullptr;
    }
}

LibusbBackend::~LibusbBackend() {
    if (context_ != nullptr) {
        libusb_exit(context_);
    }
}

void LibusbBackend::list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) {
    Guid instrument_class;
    Guid bare_class;
    const bool instruments = _parse_guid(INSTRUMENT_INTERFACE_GUID, &instrument_class) == 0 &&
                             interface_class == instrument_class;
    const bool bare =
        _parse_guid(BARE_CONTROLLER_GUID, &bare_class) == 0 && interface_class == bare_class;
    if (!instruments && !bare) {
        return;
    }
    refresh_context();
    const LibusbDeviceKind kind =
        instruments ? LibusbDeviceKind::instrument : LibusbDeviceKind::bare_controller;
    for (std::string& path : libusb_port_paths(context_, ids_, kind)) {
        paths.push_back(std::move(path));
    }
}

int LibusbBackend::open(UsbDevice& device) {
    device.context = nullptr;
    if (context_ == nullptr || device.path == nullptr) {
        return USB_OPEN_FAILED;
    }
    refresh_context();
    const std::optional<LocatedLibusbDevice> located =
        locate_libusb_device(context_, ids_, device.path);
    if (!located) {
        return USB_OPEN_FAILED;
    }
    libusb_device_handle* raw_handle = nullptr;
    const int opened = libusb_open(located->device.get(), &raw_handle);
    if (opened != LIBUSB_SUCCESS) {
        if (opened == LIBUSB_ERROR_ACCESS) {
            explain_access_denied();
        }
        return USB_OPEN_FAILED;
    }
    auto context = std::make_unique<Device>();
    context->handle = LibusbHandle(raw_handle);
    context->interface_number = located->interface_number;
    // The claim makes the device this program's alone. A bare controller
    // without an interface has nothing to claim: endpoint 0 is open to the
    // process that opened the node.
    if (context->interface_number >= 0) {
        // A kernel driver bound to the interface is set aside while it is ours.
        libusb_set_auto_detach_kernel_driver(raw_handle, 1);
        if (libusb_claim_interface(raw_handle, context->interface_number) != LIBUSB_SUCCESS) {
            return USB_OPEN_HELD;  // another program holds it; the handle closes with context
        }
        context->claimed = true;
    }
    device.context = reinterpret_cast<DeviceContext*>(context.release());
    ++open_devices_;
    return USB_OPEN_OK;
}

// libusb keeps a context's device list up to date from udev's events. Where
// no udev daemon passes the kernel's events on (containers, minimal and
// embedded systems), a context never sees a device that left come back: the
// instrument after its restart. A fresh context scans the devices as they are
// now, so each enumeration made while no device is open starts from one. A
// transfer left to libusb keeps the old context, and with it the old list.
void LibusbBackend::refresh_context() {
    if (context_ == nullptr || open_devices_ != 0 || transfer_abandoned_) {
        return;
    }
    libusb_context* fresh = nullptr;
    if (libusb_init(&fresh) != LIBUSB_SUCCESS) {
        return;
    }
    // Devices that arrived since the context last handled its events wait in
    // hotplug messages that hold them; libusb_exit does not free those, so
    // the messages are handled (without waiting) first.
    timeval no_wait{0, 0};
    libusb_handle_events_timeout_completed(context_, &no_wait, nullptr);
    libusb_exit(context_);
    context_ = fresh;
}

void LibusbBackend::explain_access_denied() {
    if (access_hint_shown_) {
        return;
    }
    access_hint_shown_ = true;
    // On the error stream: standard output may carry machine-read records.
    std::fprintf(stderr,
                 "Access to the instrument was denied. The udev rules 70-ombrix.rules give the "
                 "user logged in at the seat access: the package installs them in "
                 "/lib/udev/rules.d; otherwise copy resources/linux/70-ombrix.rules to "
                 "/etc/udev/rules.d. Then replug the instrument, or run as root.\n");
}

void LibusbBackend::forget(Device& device, Pipe* pipe) {
    if (pipe->abandoned) {
        transfer_abandoned_ = true;
    }
    forget_pipe(device, pipe);
}

int LibusbBackend::get_descriptor(UsbDevice& device, std::uint8_t type, std::uint8_t index,
                                  std::span<std::uint8_t> buffer) {
    Device* context = device_of(device);
    if (context == nullptr || buffer.empty()) {
        return -1;
    }
    libusb_device_handle* handle = context->handle.get();
    const int length = control_length(buffer.size());
    const int got = type == DESCRIPTOR_TYPE_STRING && index != 0
                        ? libusb_get_string_descriptor(handle, index, first_language(handle),
                                                       buffer.data(), length)
                        : libusb_get_descriptor(handle, type, index, buffer.data(), length);
    return got < 0 ? -1 : std::min(got, length);
}

void LibusbBackend::open_pipe(UsbDevice& device, PipeState& pipe, bool /*out*/) {
    Device* context = device_of(device);
    pipe.context = nullptr;
    pipe.max_transfer_size = MAX_TRANSFER_SIZE;
    if (context == nullptr) {
        return;
    }
    auto state = std::make_unique<Pipe>();
    state->transfer = LibusbTransfer(libusb_alloc_transfer(0));
    if (!state->transfer) {
        return;
    }
    state->endpoint = pipe.endpoint_address;
    state->interrupt = pipe.bulk == 0;
    pipe.context = reinterpret_cast<PipeContext*>(state.get());
    context->pipes.push_back(std::move(state));
}

// A transfer in flight is cancelled and reaped before the pipe's state goes:
// freeing a transfer that is still submitted is a use after free once the
// kernel completes it.
void LibusbBackend::close_pipe(UsbDevice& device, PipeState& pipe) {
    Pipe* state = pipe_of(pipe);
    Device* context = device_of(device);
    if (state != nullptr && context != nullptr) {
        if (state->in_flight) {
            cancel_and_reap(*state);
        }
        forget(*context, state);
    }
    pipe.context = nullptr;
}

void LibusbBackend::close(UsbDevice& device) {
    Device* context = device_of(device);
    device.context = nullptr;
    if (context == nullptr) {
        return;
    }
    std::unique_ptr<Device> owned(context);
    --open_devices_;
    while (!owned->pipes.empty()) {
        Pipe* pipe = owned->pipes.back().get();
        if (pipe->in_flight) {
            cancel_and_reap(*pipe);
        }
        forget(*owned, pipe);
    }
    if (owned->claimed) {
        libusb_release_interface(owned->handle.get(), owned->interface_number);
    }
}

int LibusbBackend::control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                                    std::span<std::uint8_t> data) {
    Device* context = device_of(device);
    if (context == nullptr) {
        return CONTROL_REQUEST_FAILED;
    }
    // wLength never asks for more than the buffer holds.
    const std::size_t length = std::min<std::size_t>(setup.length, data.size());
    const int moved = libusb_control_transfer(
        context->handle.get(), setup.request_type, setup.request, setup.value, setup.index,
        data.data(), static_cast<std::uint16_t>(length), CONTROL_TIMEOUT_MS);
    return moved < 0 ? CONTROL_REQUEST_FAILED : std::min(moved, static_cast<int>(length));
}

bool LibusbBackend::start_transfer(UsbDevice& device, PipeState& pipe, std::uint8_t* buffer,
                                   std::size_t length) {
    Device* context = device_of(device);
    Pipe* state = pipe_of(pipe);
    if (context == nullptr || state == nullptr || state->in_flight || state->abandoned ||
        length > INT_MAX) {
        return false;
    }
    libusb_transfer* transfer = state->transfer.get();
    // No libusb timeout: the wait bounds the transfer, and a read must outlive it.
    if (state->interrupt) {
        libusb_fill_interrupt_transfer(transfer, context->handle.get(), state->endpoint, buffer,
                                       static_cast<int>(length), on_transfer_done, state, 0);
    } else {
        libusb_fill_bulk_transfer(transfer, context->handle.get(), state->endpoint, buffer,
                                  static_cast<int>(length), on_transfer_done, state, 0);
    }
    state->completed = 0;
    if (libusb_submit_transfer(transfer) != LIBUSB_SUCCESS) {
        return false;
    }
    state->in_flight = true;
    return true;
}

bool LibusbBackend::start_write(UsbDevice& device, PipeState& pipe,
                                std::span<const std::uint8_t> data) {
    // libusb only reads an OUT transfer's buffer.
    return start_transfer(device, pipe, const_cast<std::uint8_t*>(data.data()), data.size());
}

bool LibusbBackend::start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) {
    return start_transfer(device, pipe, data.data(), data.size());
}

void LibusbBackend::handle_events_until(const int* completed, std::uint32_t timeout_ms) {
    using std::chrono::steady_clock;
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (*completed == 0) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady_clock::now());
        if (remaining.count() <= 0) {
            return;
        }
        timeval timeout{};
        timeout.tv_sec = static_cast<time_t>(remaining.count() / 1'000'000);
        timeout.tv_usec = static_cast<suseconds_t>(remaining.count() % 1'000'000);
        // The completed flag is what libusb checks before it blocks in poll,
        // so a callback run by another thread's event handling wakes this one.
        const int handled =
            libusb_handle_events_timeout_completed(context_, &timeout, const_cast<int*>(completed));
        if (handled != LIBUSB_SUCCESS && handled != LIBUSB_ERROR_INTERRUPTED) {
            return;
        }
    }
}

bool LibusbBackend::wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) {
    Pipe* state = pipe_of(pipe);
    if (device_of(device) == nullptr || state == nullptr) {
        return false;
    }
    if (state->in_flight) {
        handle_events_until(&state->completed, timeout_ms);
    }
    return state->completed != 0;
}

bool LibusbBackend::finish(UsbDevice& device, PipeState& pipe, int* transferred) {
    Pipe* state = pipe_of(pipe);
    if (device_of(device) == nullptr || state == nullptr || state->completed == 0) {
        return false;
    }
    const libusb_transfer& transfer = *state->transfer;
    if (transfer.status != LIBUSB_TRANSFER_COMPLETED) {
        return false;
    }
    if (transferred != nullptr) {
        *transferred = std::clamp(transfer.actual_length, 0, transfer.length);
    }
    return true;
}

void LibusbBackend::abort(UsbDevice& device, PipeState& pipe) {
    Pipe* state = pipe_of(pipe);
    if (device_of(device) == nullptr || state == nullptr || !state->in_flight) {
        return;
    }
    cancel_and_reap(*state);
}

void LibusbBackend::cancel_and_reap(Pipe& pipe) {
    // Cancelling fails when the transfer already ended; its callback is then
    // due in the next event handling, which reaps it as well.
    libusb_cancel_transfer(pipe.transfer.get());
    handle_events_until(&pipe.completed, CANCEL_SETTLE_TIMEOUT_MS);
    if (pipe.in_flight) {
        pipe.abandoned = true;
    }
}
