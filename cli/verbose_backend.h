#pragma once
// --verbose: every USB request summarised on the display as it completes,
// with the fields the trace records (setup packet, endpoint, lengths, result).
#include <map>

#include "cli/terminal_port.h"
#include "device/forwarding_backend.h"

class VerboseBackend final : public ForwardingUsbBackend {
public:
    VerboseBackend(UsbBackend& inner, TerminalPort& display)
        : ForwardingUsbBackend(inner), display_(display) {}

    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override;
    bool start_write(UsbDevice& device, PipeState& pipe,
                     std::span<const std::uint8_t> data) override;
    bool start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) override;
    bool finish(UsbDevice& device, PipeState& pipe, int* transferred) override;
    void abort(UsbDevice& device, PipeState& pipe) override;

private:
    void bulk_detail(const PipeState& pipe, const char* event, long long transferred);

    TerminalPort& display_;
    std::map<const PipeState*, std::size_t> requested_;  // the length each pipe's transfer asked for
};
