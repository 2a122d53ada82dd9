#pragma once
// A device that answers from the fuzzer's input: descriptors, and the bytes
// (and their count) of every control transfer.
#include <vector>

#include "device/usb.h"
#include "fuzz/fuzz_input.h"

struct DeviceContext {};

class FuzzBackend final : public UsbBackend {
public:
    explicit FuzzBackend(FuzzInput& input) : input_(input) {}

    std::vector<std::uint8_t> device_descriptor;
    std::vector<std::uint8_t> string_descriptor;
    std::vector<std::uint8_t> configuration_descriptor;

    void list_interfaces(const Guid&, std::vector<std::string>& paths) override {
        paths.push_back("fuzz");
    }
    int open(UsbDevice& device) override {
        device.context = &context_;
        return 0;
    }
    int get_descriptor(UsbDevice&, std::uint8_t type, std::uint8_t,
                       std::span<std::uint8_t> buffer) override {
        const std::vector<std::uint8_t>* descriptor =
            type == DESCRIPTOR_TYPE_DEVICE   ? &device_descriptor
            : type == DESCRIPTOR_TYPE_STRING ? &string_descriptor
                                                 : &configuration_descriptor;
        const std::size_t length = std::min(descriptor->size(), buffer.size());
        std::copy_n(descriptor->begin(), length, buffer.begin());
        return static_cast<int>(length);
    }
    void open_pipe(UsbDevice&, PipeState&, bool) override {}
    void close_pipe(UsbDevice&, PipeState&) override {}
    void close(UsbDevice& device) override { device.context = nullptr; }

    // Replies come from the input: a count (at most what was asked), then bytes.
    int control_transfer(UsbDevice&, const UsbSetupPacket&, std::span<std::uint8_t> data) override {
        const std::size_t count = data.empty() ? 0 : input_.byte() % (data.size() + 1);
        const std::vector<std::uint8_t> reply = input_.bytes(count);
        std::copy(reply.begin(), reply.end(), data.begin());
        return static_cast<int>(reply.size());
    }
    bool start_write(UsbDevice&, PipeState&, std::span<const std::uint8_t>) override { return false; }
    bool start_read(UsbDevice&, PipeState&, std::span<std::uint8_t>) override { return false; }
    bool wait(UsbDevice&, PipeState&, std::uint32_t) override { return false; }
    bool finish(UsbDevice&, PipeState&, int*) override { return false; }
    void abort(UsbDevice&, PipeState&) override {}

private:
    FuzzInput& input_;
    DeviceContext context_;
};
