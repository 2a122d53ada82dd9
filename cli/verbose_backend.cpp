#include "cli/verbose_backend.h"

#include <cstdio>

namespace {

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

}  // namespace

int VerboseBackend::control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                                     std::span<std::uint8_t> data) {
    const int result = ForwardingUsbBackend::control_transfer(device, setup, data);
    const bool in = (setup.request_type & 0x80) != 0;
    const std::string text = std::string("control ") + (in ? "in " : "out ") +
                             hex(setup.request_type, 2) + " request " + hex(setup.request, 2) +
                             " value " + hex(setup.value, 4) + " index " + hex(setup.index, 4) +
                             " length " + std::to_string(setup.length) + ": " +
                             (result < 0 ? "failed" : std::to_string(result) + " bytes");
    display_.usb_detail(text, JsonRecord("usb")
                                  .add("transfer", "control")
                                  .add("request_type", static_cast<int>(setup.request_type))
                                  .add("request", static_cast<int>(setup.request))
                                  .add("value", static_cast<int>(setup.value))
                                  .add("index", static_cast<int>(setup.index))
                                  .add("length", static_cast<int>(setup.length))
                                  .add("result", result));
    return result;
}

bool VerboseBackend::start_write(UsbDevice& device, PipeState& pipe,
                                 std::span<const std::uint8_t> data) {
    requested_[&pipe] = data.size();
    return ForwardingUsbBackend::start_write(device, pipe, data);
}

bool VerboseBackend::start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) {
    requested_[&pipe] = data.size();
    return ForwardingUsbBackend::start_read(device, pipe, data);
}

bool VerboseBackend::finish(UsbDevice& device, PipeState& pipe, int* transferred) {
    const bool finished = ForwardingUsbBackend::finish(device, pipe, transferred);
    bulk_detail(pipe, finished ? "done" : "failed", transferred != nullptr ? *transferred : -1);
    return finished;
}

void VerboseBackend::abort(UsbDevice& device, PipeState& pipe) {
    ForwardingUsbBackend::abort(device, pipe);
    bulk_detail(pipe, "aborted", -1);
}

void VerboseBackend::bulk_detail(const PipeState& pipe, const char* event, long long transferred) {
    const std::size_t requested = requested_[&pipe];
    std::string text = "bulk " + hex(pipe.endpoint_address, 2) + " length " +
                       std::to_string(requested) + ": " + event;
    if (transferred >= 0) {
        text += ", " + std::to_string(transferred) + " bytes";
    }
    display_.usb_detail(text, JsonRecord("usb")
                                  .add("transfer", "bulk")
                                  .add("endpoint", static_cast<int>(pipe.endpoint_address))
                                  .add("length", static_cast<long long>(requested))
                                  .add("event", event)
                                  .add("transferred", transferred));
}
