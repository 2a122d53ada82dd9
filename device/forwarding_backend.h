#pragma once
// A backend that passes every primitive on to another backend: the base of the
// wrappers that record, pace or watch transfers, each overriding only the
// primitives it changes.
#include "device/usb.h"

class ForwardingUsbBackend : public UsbBackend {
  public:
    // The inner backend must outlive this one.
    explicit ForwardingUsbBackend(UsbBackend& inner) : inner_(&inner) {}

    void list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) override {
        inner().list_interfaces(interface_class, paths);
    }
    int open(UsbDevice& device) override { return inner().open(device); }
    int get_descriptor(UsbDevice& device, std::uint8_t type, std::uint8_t index,
                       std::span<std::uint8_t> buffer) override {
        return inner().get_descriptor(device, type, index, buffer);
    }
    void open_pipe(UsbDevice& device, PipeState& pipe, bool out) override {
        inner().open_pipe(device, pipe, out);
    }
    void close_pipe(UsbDevice& device, PipeState& pipe) override {
        inner().close_pipe(device, pipe);
    }
    void close(UsbDevice& device) override { inner().close(device); }
    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override {
        return inner().control_transfer(device, setup, data);
    }
    bool start_write(UsbDevice& device, PipeState& pipe,
                     std::span<const std::uint8_t> data) override {
        return inner().start_write(device, pipe, data);
    }
    bool start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) override {
        return inner().start_read(device, pipe, data);
    }
    bool wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) override {
        return inner().wait(device, pipe, timeout_ms);
    }
    bool finish(UsbDevice& device, PipeState& pipe, int* transferred) override {
        return inner().finish(device, pipe, transferred);
    }
    void abort(UsbDevice& device, PipeState& pipe) override { inner().abort(device, pipe); }

  protected:
    // Where the calls go; a wrapper that makes its inner backend late (on first
    // use) overrides this instead of passing one to the constructor.
    ForwardingUsbBackend() = default;
    virtual UsbBackend& inner() { return *inner_; }

  private:
    UsbBackend* inner_ = nullptr;
};
