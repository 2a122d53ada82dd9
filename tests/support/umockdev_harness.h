#pragma once
// The libusb backend against the simulated bus, through real libusb and
// umockdev's stand-in sysfs and usbfs (see umockdev_usbfs.h).
#if defined(__linux__) && defined(OMBRIX_HAVE_UMOCKDEV)
#include <memory>
#include <optional>
#include <string>

#include "device/forwarding_backend.h"
#include "device/libusb/libusb_backend.h"
#include "support/umockdev_usbfs.h"
#include "support/usb_contract_harness.h"

// The libusb backend as the core sees it in these tests. The stand-in's
// devices are brought in line with the bus before every discovery and open,
// and the paths the core sees are the bus's own, so that tests compare them
// with the instrument's; the backend underneath works on port paths.
class UmockdevLibusbBackend final : public ForwardingUsbBackend {
  public:
    UmockdevLibusbBackend(UmockdevUsbfs& usbfs, InstrumentUsbIds ids) : usbfs_(usbfs), ids_(ids) {}

    // The backend itself, made at the first discovery so that libusb starts
    // with the devices the test attached before it.
    LibusbBackend& libusb();

    void list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) override;
    int open(UsbDevice& device) override;

  protected:
    UsbBackend& inner() override { return libusb(); }

  private:
    UmockdevUsbfs& usbfs_;
    InstrumentUsbIds ids_;
    std::unique_ptr<LibusbBackend> libusb_;
};

class UmockdevLibusbHarness final : public UsbContractHarness {
  public:
    UsbBackend& backend_under_test() override { return backend_; }
    sim::SimBackend& bus() override { return bus_; }
    sim::VirtualClock& clock() override { return clock_; }
    UmockdevUsbfs& usbfs() { return usbfs_; }
    UmockdevLibusbBackend& backend() { return backend_; }
    // libusb's own timeout and the stand-in's view of real time are read
    // apart: allow a millisecond, far above the 37 us seen on a busy machine.
    std::uint64_t clock_resolution_us() const override { return 1'000; }

  private:
    sim::VirtualClock clock_;
    sim::SimBackend bus_{clock_};
    UmockdevUsbfs usbfs_{bus_};
    UmockdevLibusbBackend backend_{usbfs_, synthetic_ids()};

    static InstrumentUsbIds synthetic_ids();
};
#endif
