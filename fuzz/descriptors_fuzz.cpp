// Opening a device over arbitrary descriptors: counts, tables and the serial
// number stay within what arrived.
#include <cstring>

#include "device/clock.h"
#include "fuzz/fuzz_backend.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    FuzzBackend backend(input);
    backend.device_descriptor = input.bytes(input.byte() % 24);
    backend.string_descriptor = input.bytes(input.byte());
    backend.configuration_descriptor = input.rest();
    usb_install_backend(&backend);

    UsbDevice* list = nullptr;
    const char* guid = INSTRUMENT_INTERFACE_GUID;
    usb_find_devices(&guid, 1, &list);
    for (UsbDevice* device = list; device != nullptr; device = device->next) {
        if (usb_open_device(device, 1) == 0) {
            if (std::strlen(device->serial_number) > USB_SERIAL_NUMBER_MAX_CHARS) {
                __builtin_trap();
            }
            for (int i = 0; i < device->in_pipe_count; ++i) {
                if ((device->in_pipes[i].endpoint_address & 0x80) == 0) {
                    __builtin_trap();
                }
            }
            for (int i = 0; i < device->out_pipe_count; ++i) {
                if ((device->out_pipes[i].endpoint_address & 0x80) != 0) {
                    __builtin_trap();
                }
            }
            usb_close_device(device);
        }
    }
    usb_free_device_list(list);
    usb_install_backend(nullptr);
    return 0;
}
