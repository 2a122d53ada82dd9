// Discovery, opening and closing of instruments. The backend lists the
// interfaces and reads descriptors; what the descriptors mean is decided here,
// once, and every read of one is bounded by the bytes that arrived.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "device/clock.h"
#include "device/diagnostics.h"
#include "device/usb.h"
#include "device/usb_descriptors.h"

namespace {

constexpr std::size_t DESCRIPTOR_SCRATCH_SIZE = 4096;

// An interface refused because another program holds it is tried again for
// half a second: another process that lists the instruments holds each one
// for a moment, and two programs started together (one per instrument on a
// production line) would otherwise each leave out the other's instrument, or
// fail to open their own after its restart.
constexpr int REFUSED_INTERFACE_ATTEMPTS = 20;
constexpr std::uint32_t REFUSED_INTERFACE_PAUSE_MS = 25;

UsbDevice* allocate_list_entry(const UsbDevice& probe, const std::string& path, int guid_index) {
    // One block: the record followed by its path text.
    void* block = std::malloc(sizeof(UsbDevice) + path.size() + 1);
    if (block == nullptr) {
        return nullptr;
    }
    auto* entry = new (block) UsbDevice(probe);
    entry->next = nullptr;
    entry->guid_index = guid_index;
    entry->out_pipes = nullptr;
    entry->in_pipes = nullptr;
    entry->context = nullptr;
    entry->path = static_cast<char*>(block) + sizeof(UsbDevice);
    std::memcpy(entry->path, path.c_str(), path.size() + 1);
    return entry;
}

void append_present_instruments(UsbBackend& backend, const Guid& interface_class, int guid_index,
                                UsbDevice** list) {
    UsbDevice** tail = list;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    std::vector<std::string> paths;
    backend.list_interfaces(interface_class, paths);
    for (const std::string& path : paths) {
        UsbDevice probe;
        std::string path_copy = path;
        probe.path = path_copy.data();
        if (usb_open_device(&probe, 0) != USB_OPEN_OK) {
            continue;
        }
        UsbDevice* entry = allocate_list_entry(probe, path, guid_index);
        usb_close_device(&probe);
        if (entry == nullptr) {
            continue;
        }
        *tail = entry;
        tail = &entry->next;
    }
}

PipeState* build_pipe_table(UsbBackend& backend, UsbDevice& device,
                            const std::vector<EndpointInfo>& endpoints, bool out, int count) {
    if (count <= 0) {
        return nullptr;
    }
    auto* table = new (std::nothrow) PipeState[static_cast<std::size_t>(count)];
    if (table == nullptr) {
        return nullptr;
    }
    int entry = 0;
    for (const EndpointInfo& endpoint : endpoints) {
        if (endpoint.is_in() == out) {
            continue;
        }
        PipeState& pipe = table[entry++];
        pipe.endpoint_address = endpoint.address;
        pipe.bulk = endpoint.is_bulk() ? 1 : 0;
        pipe.read_pending = 0;
        pipe.max_packet_size = endpoint.max_packet_size;
        backend.open_pipe(device, pipe, out);
    }
    return table;
}

void release_pipe_table(UsbBackend* backend, UsbDevice& device, PipeState*& table, int count) {
    if (table == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        if (backend != nullptr) {
            if (table[i].read_pending != 0) {
                backend->abort(device, table[i]);
                table[i].read_pending = 0;
            }
            backend->close_pipe(device, table[i]);
        }
    }
    delete[] table;
    table = nullptr;
}

void reset_record(UsbDevice& device) {
    device.out_pipes = nullptr;
    device.in_pipes = nullptr;
    device.context = nullptr;
    device.out_pipe_count = 0;
    device.in_pipe_count = 0;
}

int open_waiting_out_other_holders(UsbBackend& backend, UsbDevice& device) {
    int opened = backend.open(device);
    for (int attempt = 1; opened == USB_OPEN_HELD && attempt < REFUSED_INTERFACE_ATTEMPTS;
         ++attempt) {
        clock_sleep_ms(REFUSED_INTERFACE_PAUSE_MS);
        opened = backend.open(device);
    }
    return opened;
}

void report_unparsed_guid(int parsed, const char* text) {
    const std::string line = "_parse_guid returned " + std::to_string(parsed) + " on GUID " +
                             (text != nullptr ? text : "(null)");
    usb_diagnostic(line.c_str());
}

int fail_open(UsbBackend& backend, UsbDevice& device, int code) {
    backend.close(device);
    device.context = nullptr;
    return code;
}

}  // namespace

int usb_find_devices(const char* const* guid_texts, int count, UsbDevice** list) {
    if (list == nullptr) {
        return 0;
    }
    *list = nullptr;
    UsbBackend* backend = usb_installed_backend();
    for (int i = 0; i < count && guid_texts != nullptr; ++i) {
        Guid interface_class;
        const int parsed = _parse_guid(guid_texts[i], &interface_class);
        if (parsed != 0) {
            report_unparsed_guid(parsed, guid_texts[i]);
            continue;
        }
        if (backend != nullptr) {
            append_present_instruments(*backend, interface_class, i, list);
        }
    }
    return 0;
}

void usb_free_device_list(UsbDevice* list) {
    while (list != nullptr) {
        UsbDevice* next = list->next;
        list->~UsbDevice();
        std::free(list);
        list = next;
    }
}

int usb_open_device(UsbDevice* device, int with_pipes) {
    if (device == nullptr) {
        return USB_OPEN_FAILED;
    }
    reset_record(*device);
    UsbBackend* backend = usb_installed_backend();
    if (backend == nullptr || device->path == nullptr) {
        return USB_OPEN_FAILED;
    }
    const int opened = open_waiting_out_other_holders(*backend, *device);
    if (opened != USB_OPEN_OK) {
        device->context = nullptr;
        return opened == USB_OPEN_HELD ? USB_OPEN_HELD : USB_OPEN_FAILED;
    }

    std::uint8_t device_descriptor[DEVICE_DESCRIPTOR_LENGTH] = {};
    if (backend->get_descriptor(*device, DESCRIPTOR_TYPE_DEVICE, 0, device_descriptor) !=
        DEVICE_DESCRIPTOR_LENGTH) {
        return fail_open(*backend, *device, USB_OPEN_NO_DEVICE_DESCRIPTOR);
    }

    auto scratch = std::make_unique<std::uint8_t[]>(DESCRIPTOR_SCRATCH_SIZE);
    const std::span<std::uint8_t> buffer{scratch.get(), DESCRIPTOR_SCRATCH_SIZE};
    const DeviceIdentity identity = parse_device_descriptor(device_descriptor);
    std::span<const std::uint8_t> serial_descriptor;
    if (identity.serial_index != 0) {
        const int got = backend->get_descriptor(*device, DESCRIPTOR_TYPE_STRING,
                                                identity.serial_index, buffer);
        if (got > 0) {
            serial_descriptor = buffer.first(static_cast<std::size_t>(got));
        }
    }
    serial_from_string_descriptor(serial_descriptor, device->serial_number);
    device->vendor_id = identity.vendor_id;
    device->product_id = identity.product_id;
    device->manufacturer_index = identity.manufacturer_index;
    device->product_index = identity.product_index;

    const int configuration_length =
        backend->get_descriptor(*device, DESCRIPTOR_TYPE_CONFIGURATION, 0, buffer);
    if (configuration_length <= 0) {
        return fail_open(*backend, *device, USB_OPEN_NO_CONFIGURATION);
    }
    const std::vector<EndpointInfo> endpoints =
        count_pipe_endpoints(buffer.first(static_cast<std::size_t>(configuration_length)));
    for (const EndpointInfo& endpoint : endpoints) {
        ++(endpoint.is_in() ? device->in_pipe_count : device->out_pipe_count);
    }
    if (with_pipes == 0) {
        return USB_OPEN_OK;
    }
    device->out_pipes =
        build_pipe_table(*backend, *device, endpoints, true, device->out_pipe_count);
    device->in_pipes = build_pipe_table(*backend, *device, endpoints, false, device->in_pipe_count);
    return USB_OPEN_OK;
}

int usb_close_device(UsbDevice* device) {
    if (device == nullptr) {
        return -1;
    }
    UsbBackend* backend = usb_installed_backend();
    release_pipe_table(backend, *device, device->out_pipes, device->out_pipe_count);
    release_pipe_table(backend, *device, device->in_pipes, device->in_pipe_count);
    if (device->context != nullptr && backend != nullptr) {
        backend->close(*device);
    }
    device->context = nullptr;
    return 0;
}
