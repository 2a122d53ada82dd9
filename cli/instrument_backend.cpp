#include "cli/instrument_backend.h"

#include <optional>

#include "cli/exit_status.h"
#include "images/images.h"

#if defined(OMBRIX_HAVE_LIBUSB)
#include "device/libusb/libusb_backend.h"
#elif defined(_WIN32)
#include <mutex>
#include <set>

#include "cli/winusb_access.h"
#include "device/forwarding_backend.h"
#include "device/winusb/winusb_backend.h"
#endif

#if defined(_WIN32)
namespace {

// What binds an instrument to WinUSB on Windows; the udev rules' counterpart.
std::string driver_package() {
    return std::string("the instrument's WinUSB driver package, which binds WinUSB to the instrument "
                       "with the device interface class ") +
           INSTRUMENT_INTERFACE_GUID;
}

std::string access_denied_text() {
    return "Access to the instrument was denied. WinUSB lets one program at a time open it: close "
           "the program that holds it (the Ombrix window program, another ombrix-fwupdate) and run "
           "again. If none does, reinstall " +
           driver_package() + ". Then replug the instrument.";
}

// The WinUSB backend, noting the instruments whose last open was refused:
// another program held them through the open's wait.
class HeldInstrumentWatch final : public ForwardingUsbBackend {
public:
    using ForwardingUsbBackend::ForwardingUsbBackend;

    int open(UsbDevice& device) override {
        const int opened = ForwardingUsbBackend::open(device);
        if (device.path != nullptr) {
            const std::lock_guard lock(mutex_);
            if (opened == USB_OPEN_HELD) {
                held_.insert(device.path);
            } else {
                held_.erase(device.path);
            }
        }
        return opened;
    }

    bool any_held() const {
        const std::lock_guard lock(mutex_);
        return !held_.empty();
    }

private:
    mutable std::mutex mutex_;
    std::set<std::string> held_;
};

}  // namespace
#endif

int with_instrument_backend(TerminalPort& port, const std::function<int(UsbBackend&)>& use) {
#if defined(OMBRIX_HAVE_LIBUSB)
    const std::optional<InstrumentUsbIds> ids =
        instrument_ids_from_boot_image(firmware_image(IMAGE_USB_FIRMWARE).bytes());
    LibusbBackend libusb(ids.value_or(InstrumentUsbIds{}));
    if (!ids || !libusb.usable()) {
        port.error("The USB library could not be initialised.");
        return EXIT_RUN_FAILED;
    }
    return use(libusb);
#elif defined(_WIN32)
    WinUsbBackend winusb(console_winusb_api());
    HeldInstrumentWatch watched(winusb);
    const int exit_code = use(watched);
    if (watched.any_held()) {
        port.message_box(access_denied_text().c_str(), MessageIcon::warning);
    }
    return exit_code;
#else
    (void)use;
    port.error("This build reaches no instrument directly; run with --simulate.");
    return EXIT_RUN_FAILED;
#endif
}

std::string missing_interface_hint() {
#if defined(_WIN32)
    return " Windows finds an instrument only through its WinUSB driver: if one is attached, install " +
           driver_package() + ", then replug the instrument.";
#else
    return "";
#endif
}

std::string bare_controller_reach_hint() {
#if defined(_WIN32)
    return " On Windows this program reaches no bare controller (no WinUSB driver is bound to one): "
           "recover it with ombrix-fwupdate on Linux.";
#else
    return "";
#endif
}
