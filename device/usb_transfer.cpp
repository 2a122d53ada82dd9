// The three transfer operations: their rules, once, above every backend.
#include "device/clock.h"
#include "device/usb.h"

namespace {

UsbBackend* installed_backend = nullptr;

constexpr std::uint8_t REQUEST_TYPE_VENDOR_OUT = 0x40;
constexpr std::uint8_t REQUEST_TYPE_VENDOR_IN = 0xC0;

// A pause after a failed transfer gives the stack time to settle the abort.
constexpr std::uint32_t PAUSE_AFTER_FAILURE_MS = 10;
constexpr std::uint32_t PAUSE_AFTER_READ_START_FAILURE_MS = 1;

// Finds the pipe a bulk operation addresses: a positive identifier is an
// endpoint address, zero or -k selects table entry k.
int pipe_lookup(UsbDevice* device, bool out, int pipe, PipeState** found) {
    if (device == nullptr) {
        return USB_ERR_FAILED;
    }
    PipeState* table = out ? device->out_pipes : device->in_pipes;
    const int count = out ? device->out_pipe_count : device->in_pipe_count;
    if (table == nullptr) {
        return USB_ERR_FAILED;
    }
    if (pipe <= 0) {
        const long long entry = -static_cast<long long>(pipe);
        if (entry >= count) {
            return USB_ERR_NO_PIPE;
        }
        *found = &table[entry];
        return USB_OK;
    }
    for (int i = 0; i < count; ++i) {
        if (table[i].endpoint_address == pipe) {
            *found = &table[i];
            return USB_OK;
        }
    }
    return USB_ERR_NO_PIPE;
}

std::size_t span_length(int length) {
    return length > 0 ? static_cast<std::size_t>(length) : 0U;
}

int fail_after_abort(UsbDevice& device, PipeState& pipe, int code, std::uint32_t pause_ms) {
    installed_backend->abort(device, pipe);
    clock_sleep_ms(pause_ms);
    return code;
}

}  // namespace

void usb_install_backend(UsbBackend* backend) {
    installed_backend = backend;
}

UsbBackend* usb_installed_backend() {
    return installed_backend;
}

int usb_control_transfer(UsbDevice* device, int out, int request, int value, int index, int* length,
                         void* data) {
    std::uint8_t scratch = 0;
    const int asked = length != nullptr ? *length : 0;
    std::uint8_t* buffer = data != nullptr ? static_cast<std::uint8_t*>(data) : &scratch;
    // Without a caller's buffer the stack gets the one-byte scratch buffer.
    const std::size_t buffer_length = data != nullptr ? span_length(asked) : (asked > 0 ? 1U : 0U);

    UsbSetupPacket setup;
    setup.request_type = out != 0 ? REQUEST_TYPE_VENDOR_OUT : REQUEST_TYPE_VENDOR_IN;
    setup.request = static_cast<std::uint8_t>(request);
    setup.value = static_cast<std::uint16_t>(value);
    setup.index = static_cast<std::uint16_t>(index);
    setup.length = static_cast<std::uint16_t>(asked);

    int transferred = CONTROL_REQUEST_FAILED;
    if (device != nullptr && device->context != nullptr && installed_backend != nullptr) {
        transferred = installed_backend->control_transfer(*device, setup, {buffer, buffer_length});
    }
    const bool failed = transferred < 0;
    if (failed) {
        transferred = 0;
    }
    // A host-to-device request succeeded only when the platform says so and
    // every byte went: a stalled request without data is a failure too.
    if (out != 0) {
        return !failed && transferred == asked ? USB_OK : USB_ERR_FAILED;
    }
    if (length != nullptr) {
        *length = transferred;
    }
    return USB_OK;
}

int usb_bulk_write(UsbDevice* device, int pipe, const void* buffer, int length, int* transferred,
                   int timeout_ms) {
    int local_transferred = 0;
    int* count = transferred != nullptr ? transferred : &local_transferred;
    *count = 0;
    PipeState* state = nullptr;
    const int lookup = pipe_lookup(device, true, pipe, &state);
    if (lookup != USB_OK) {
        return lookup;
    }
    if (installed_backend == nullptr) {
        return USB_ERR_FAILED;
    }
    const std::span<const std::uint8_t> data{static_cast<const std::uint8_t*>(buffer),
                                             buffer != nullptr ? span_length(length) : 0U};
    if (!installed_backend->start_write(*device, *state, data)) {
        return fail_after_abort(*device, *state, USB_ERR_FAILED, PAUSE_AFTER_FAILURE_MS);
    }
    if (!installed_backend->wait(*device, *state, static_cast<std::uint32_t>(timeout_ms))) {
        return fail_after_abort(*device, *state, USB_ERR_TIMEOUT, PAUSE_AFTER_FAILURE_MS);
    }
    if (!installed_backend->finish(*device, *state, count)) {
        return fail_after_abort(*device, *state, USB_ERR_INCOMPLETE, PAUSE_AFTER_FAILURE_MS);
    }
    return USB_OK;
}

int usb_bulk_read(UsbDevice* device, int pipe, void* buffer, int length, int* transferred,
                  int timeout_ms) {
    int local_transferred = 0;
    int* count = transferred != nullptr ? transferred : &local_transferred;
    *count = 0;
    PipeState* state = nullptr;
    const int lookup = pipe_lookup(device, false, pipe, &state);
    if (lookup != USB_OK) {
        return lookup;
    }
    if (installed_backend == nullptr) {
        return USB_ERR_FAILED;
    }
    // A read still in flight is collected first; its data lands in the buffer
    // it was started with.
    if (state->read_pending == 0) {
        const std::span<std::uint8_t> data{static_cast<std::uint8_t*>(buffer),
                                           buffer != nullptr ? span_length(length) : 0U};
        if (!installed_backend->start_read(*device, *state, data)) {
            return fail_after_abort(*device, *state, USB_ERR_FAILED,
                                    PAUSE_AFTER_READ_START_FAILURE_MS);
        }
        state->read_pending = 1;
    }
    // A read that times out stays in flight: the next read collects it.
    if (!installed_backend->wait(*device, *state, static_cast<std::uint32_t>(timeout_ms))) {
        return USB_ERR_TIMEOUT;
    }
    state->read_pending = 0;
    if (!installed_backend->finish(*device, *state, count)) {
        return fail_after_abort(*device, *state, USB_ERR_INCOMPLETE, PAUSE_AFTER_FAILURE_MS);
    }
    return USB_OK;
}
