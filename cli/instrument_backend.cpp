#include "cli/instrument_backend.h"

#include <optional>

#include "cli/exit_status.h"
#include "images/images.h"

#if defined(OMBRIX_HAVE_LIBUSB)
#include "device/libusb/libusb_backend.h"
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
#else
    (void)use;
    port.error("This build reaches no instrument directly; run with --simulate.");
    return EXIT_RUN_FAILED;
#endif
}
