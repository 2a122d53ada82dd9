// The usbfs stand-in: sysfs devices and device-node ioctls over the simulated bus.
#include "support/umockdev_usbfs.h"

#if defined(__linux__) && defined(OMBRIX_HAVE_UMOCKDEV)
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <deque>

#include "sim/synthetic_images.h"
#include "sim/usb_identity.h"

namespace {

constexpr std::size_t SETUP_LENGTH = 8;
constexpr std::uint8_t REQUEST_GET_DESCRIPTOR = 6;
constexpr std::uint8_t REQUEST_TYPE_MASK = 0x60;  // standard, class or vendor

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char digits[3];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

// The descriptors an instrument shows in sysfs: read from it, or, for one held
// open by another program (which the bus refuses to open), those of a
// standard instrument.
std::vector<std::uint8_t> sysfs_descriptors(sim::SimBackend& bus, const std::string& sim_path) {
    UsbDevice probe;
    std::string path = sim_path;
    probe.path = path.data();
    std::vector<std::uint8_t> device(18);
    std::vector<std::uint8_t> configuration(4096);
    if (bus.open(probe) == 0) {
        const int device_length = bus.get_descriptor(probe, 1, 0, device);
        const int configuration_length = bus.get_descriptor(probe, 2, 0, configuration);
        bus.close(probe);
        if (device_length == 18 && configuration_length > 0) {
            configuration.resize(static_cast<std::size_t>(configuration_length));
            device.insert(device.end(), configuration.begin(), configuration.end());
            return device;
        }
    }
    sim::BootIdentity identity;
    identity.instrument_firmware = true;
    identity.vendor_id = sim::SYNTHETIC_VENDOR_ID;
    identity.product_id = sim::SYNTHETIC_PRODUCT_ID;
    identity.device_id = sim::SYNTHETIC_DEVICE_ID;
    device = sim::make_device_descriptor(identity, true);
    configuration = sim::make_configuration_descriptor(sim::instrument_endpoints());
    device.insert(device.end(), configuration.begin(), configuration.end());
    return device;
}

}  // namespace

// A submitted URB. The client's memory is reached only through umockdev's
// copies (the client may be another process): the usbdevfs_urb itself and its
// transfer buffer, both written back when the URB is reaped.
struct UmockdevUsbfs::Urb {
    UMockdevIoctlData* data = nullptr;    // the client's usbdevfs_urb, referenced
    UMockdevIoctlData* buffer = nullptr;  // its transfer buffer, referenced; null when empty
    PipeState* pipe = nullptr;            // null for control transfers
    int status = 0;
    int actual_length = 0;

    usbdevfs_urb& fields() const { return *reinterpret_cast<usbdevfs_urb*>(data->data); }
    std::span<std::uint8_t> bytes() const {
        if (buffer == nullptr) {
            return {};
        }
        return {buffer->data, static_cast<std::size_t>(std::max(buffer->data_len, 0))};
    }
    void release() const {
        g_object_unref(data);
        if (buffer != nullptr) {
            g_object_unref(buffer);
        }
    }
};

struct UmockdevUsbfs::Node {
    std::string sim_path;
    int port = 0;
    int device_number = 0;
    std::string sysfs_path;
    std::string devnode;
    // The bus's handle while libusb has the interface claimed.
    std::string bus_path;
    UsbDevice device;
    bool open = false;
    std::map<std::uint8_t, std::unique_ptr<PipeState>> pipes;
    std::vector<Urb> in_flight;
    std::deque<Urb> done;
};

UmockdevUsbfs::UmockdevUsbfs(sim::SimBackend& bus)
    : bus_(bus), last_sync_(std::chrono::steady_clock::now()) {
    testbed_ = umockdev_testbed_new();
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UmockdevUsbfs::ioctl_signal), this);
}

UmockdevUsbfs::~UmockdevUsbfs() {
    {
        const std::lock_guard lock(mutex_);
        for (auto& node : nodes_) {
            close_on_bus(*node);
        }
    }
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(testbed_);
    g_object_unref(handler_);
}

bool UmockdevUsbfs::preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

void UmockdevUsbfs::sync() {
    std::vector<std::string> present;
    Guid instrument_class;
    _parse_guid(INSTRUMENT_INTERFACE_GUID, &instrument_class);
    bus_.list_interfaces(instrument_class, present);
    const std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < nodes_.size();) {
        // An instrument that left while a client holds it stays in the testbed
        // (its transfers failing) until the client lets go of it: umockdev's
        // preload library does not cope with a device node that goes away
        // under a client in the middle of its requests.
        const bool gone =
            std::find(present.begin(), present.end(), nodes_[i]->sim_path) == present.end();
        if (gone && !nodes_[i]->open) {
            remove_node(*nodes_[i]);
            nodes_.erase(nodes_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    for (const std::string& sim_path : present) {
        const bool shown = std::any_of(nodes_.begin(), nodes_.end(), [&](const auto& node) {
            return node->sim_path == sim_path;
        });
        if (!shown) {
            add_node(sim_path);
        }
    }
}

void UmockdevUsbfs::follow_bus() {
    {
        const std::lock_guard lock(mutex_);
        follow_real_time();
    }
    sync();
}

std::string UmockdevUsbfs::root_dir() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string dir = root != nullptr ? root : "";
    g_free(root);
    return dir;
}

std::optional<std::string> UmockdevUsbfs::devnode_of(const std::string& sim_path) {
    const std::lock_guard lock(mutex_);
    for (const auto& node : nodes_) {
        if (node->sim_path == sim_path) {
            return node->devnode;
        }
    }
    return std::nullopt;
}

void UmockdevUsbfs::add_node(const std::string& sim_path) {
    auto node = std::make_unique<Node>();
    node->sim_path = sim_path;
    // A port stays the instrument's; the device number is new at every arrival.
    auto known = std::find_if(ports_.begin(), ports_.end(),
                              [&](const auto& entry) { return entry.first == sim_path; });
    if (known == ports_.end()) {
        ports_.emplace_back(sim_path, next_port_++);
        known = ports_.end() - 1;
    }
    node->port = known->second;
    node->device_number = next_device_number_++;
    char devnode[64];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/001/%03d", node->device_number);
    node->devnode = devnode;
    node->sysfs_path = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(node->port);

    const std::vector<std::uint8_t> descriptors = sysfs_descriptors(bus_, sim_path);
    const int configuration_value = descriptors.size() > 23 ? descriptors[23] : 1;
    umockdev_testbed_attach_ioctl(testbed_, node->devnode.c_str(), handler_, nullptr);
    const std::string number = std::to_string(node->device_number);
    const std::string description =
        "P: " + node->sysfs_path.substr(4) + "\n" + "N: " + node->devnode.substr(5) + "\n" +
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\n" +
        "E: DEVNUM=" + number + "\nE: DEVNAME=" + node->devnode + "\n" +
        "A: busnum=1\\n\nA: devnum=" + number + "\\n\n" +
        "A: bConfigurationValue=" + std::to_string(configuration_value) + "\\n\n" +
        "A: speed=480\\n\nH: descriptors=" + hex(descriptors) + "\n";
    umockdev_testbed_add_from_string(testbed_, description.c_str(), nullptr);
    nodes_.push_back(std::move(node));
}

// The device node stays attached: a client that still has it open is answered
// ENODEV, as usbfs answers for a disconnected device.
void UmockdevUsbfs::remove_node(Node& node) {
    close_on_bus(node);
    umockdev_testbed_uevent(testbed_, node.sysfs_path.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, node.sysfs_path.c_str());
}

std::optional<std::string> UmockdevUsbfs::port_path_of(const std::string& sim_path) {
    const std::lock_guard lock(mutex_);
    for (const auto& [path, port] : ports_) {
        if (path == sim_path) {
            return "usb:1-" + std::to_string(port);
        }
    }
    return std::nullopt;
}

std::optional<std::string> UmockdevUsbfs::sim_path_of(const std::string& port_path) {
    const std::lock_guard lock(mutex_);
    for (const auto& [path, port] : ports_) {
        if (port_path == "usb:1-" + std::to_string(port)) {
            return path;
        }
    }
    return std::nullopt;
}

std::vector<unsigned long> UmockdevUsbfs::unknown_requests() {
    const std::lock_guard lock(mutex_);
    return unknown_;
}

int UmockdevUsbfs::ioctl_signal(_UMockdevIoctlBase* /*handler*/, _UMockdevIoctlClient* client,
                                void* self) {
    return static_cast<UmockdevUsbfs*>(self)->handle_ioctl(client) ? TRUE : FALSE;
}

UmockdevUsbfs::Node* UmockdevUsbfs::node_of_devnode(const std::string& devnode) {
    for (auto& node : nodes_) {
        if (node->devnode == devnode) {
            return node.get();
        }
    }
    return nullptr;
}

void UmockdevUsbfs::follow_real_time() {
    const auto now = std::chrono::steady_clock::now();
    const auto passed = std::chrono::duration_cast<std::chrono::microseconds>(now - last_sync_);
    last_sync_ = now;
    if (passed.count() > 0) {
        bus_.clock().advance_us(static_cast<std::uint64_t>(passed.count()));
    }
    bus_.settle();
}

bool UmockdevUsbfs::open_on_bus(Node& node) {
    if (node.open) {
        return true;
    }
    node.device = UsbDevice{};
    node.bus_path = node.sim_path;
    node.device.path = node.bus_path.data();
    node.open = bus_.open(node.device) == 0;
    return node.open;
}

void UmockdevUsbfs::close_on_bus(Node& node) {
    for (Urb& urb : node.in_flight) {
        bus_.abort(node.device, *urb.pipe);
        urb.release();
    }
    node.in_flight.clear();
    for (Urb& urb : node.done) {
        urb.release();
    }
    node.done.clear();
    if (node.open) {
        for (auto& [endpoint, state] : node.pipes) {
            bus_.close_pipe(node.device, *state);
        }
        bus_.close(node.device);
    }
    node.pipes.clear();
    node.open = false;
}

PipeState* UmockdevUsbfs::pipe(Node& node, std::uint8_t endpoint) {
    auto& state = node.pipes[endpoint];
    if (!state) {
        state = std::make_unique<PipeState>();
        state->endpoint_address = endpoint;
        state->bulk = 1;
        bus_.open_pipe(node.device, *state, (endpoint & 0x80) == 0);
    }
    return state.get();
}

void UmockdevUsbfs::run_control(Node& node, Urb& urb) {
    const std::span<std::uint8_t> bytes = urb.bytes();
    if (bytes.size() < SETUP_LENGTH) {
        urb.status = -EINVAL;
        return;
    }
    UsbSetupPacket setup;
    setup.request_type = bytes[0];
    setup.request = bytes[1];
    setup.value = static_cast<std::uint16_t>(bytes[2] | (bytes[3] << 8));
    setup.index = static_cast<std::uint16_t>(bytes[4] | (bytes[5] << 8));
    setup.length = static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8));
    const std::span<std::uint8_t> data =
        bytes.subspan(SETUP_LENGTH, std::min<std::size_t>(setup.length, bytes.size() - SETUP_LENGTH));
    if ((setup.request_type & REQUEST_TYPE_MASK) == 0) {
        if (setup.request != REQUEST_GET_DESCRIPTOR) {
            return;  // the rest of chapter 9 is accepted and does nothing here
        }
        const int got =
            bus_.get_descriptor(node.device, static_cast<std::uint8_t>(setup.value >> 8),
                                static_cast<std::uint8_t>(setup.value & 0xFF), data);
        urb.status = got < 0 ? -EPIPE : 0;
        urb.actual_length = std::max(got, 0);
        return;
    }
    urb.actual_length = bus_.control_transfer(node.device, setup, data);
}

int UmockdevUsbfs::submit(Node& node, UMockdevIoctlData* urb_data) {
    Urb urb;
    urb.data = urb_data;
    const usbdevfs_urb& fields = urb.fields();
    if (!open_on_bus(node)) {
        return ENODEV;
    }
    const bool control = fields.type == USBDEVFS_URB_TYPE_CONTROL;
    if (!control && fields.type != USBDEVFS_URB_TYPE_BULK &&
        fields.type != USBDEVFS_URB_TYPE_INTERRUPT) {
        return EINVAL;
    }
    if (fields.buffer_length > 0) {
        urb.buffer = umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer),
                                                 static_cast<std::size_t>(fields.buffer_length),
                                                 nullptr);
        if (urb.buffer == nullptr) {
            return EFAULT;
        }
    }
    g_object_ref(urb.data);
    if (control) {
        run_control(node, urb);
        node.done.push_back(urb);
        return 0;
    }
    urb.pipe = pipe(node, fields.endpoint);
    const bool started = (fields.endpoint & 0x80) != 0
                             ? bus_.start_read(node.device, *urb.pipe, urb.bytes())
                             : bus_.start_write(node.device, *urb.pipe, urb.bytes());
    if (!started) {
        urb.release();
        return ENODEV;
    }
    node.in_flight.push_back(urb);
    return 0;
}

void UmockdevUsbfs::collect_completions(Node& node) {
    for (auto urb = node.in_flight.begin(); urb != node.in_flight.end();) {
        if (!bus_.wait(node.device, *urb->pipe, 0)) {
            ++urb;
            continue;
        }
        int transferred = 0;
        urb->status = bus_.finish(node.device, *urb->pipe, &transferred) ? 0 : -EPROTO;
        urb->actual_length = transferred;
        node.done.push_back(*urb);
        urb = node.in_flight.erase(urb);
    }
}

bool UmockdevUsbfs::reap(Node& node, UMockdevIoctlData* argument) {
    collect_completions(node);
    if (node.done.empty()) {
        return false;
    }
    Urb urb = node.done.front();
    node.done.pop_front();
    urb.fields().status = urb.status;
    urb.fields().actual_length = urb.actual_length;
    UMockdevIoctlData* reaped = umockdev_ioctl_data_resolve(argument, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(reaped, 0, urb.data);
    g_object_unref(reaped);
    urb.release();
    return true;
}

int UmockdevUsbfs::discard(Node& node, unsigned long client_address) {
    for (auto urb = node.in_flight.begin(); urb != node.in_flight.end(); ++urb) {
        if (urb->data->client_addr == client_address) {
            bus_.abort(node.device, *urb->pipe);
            urb->status = -ENOENT;
            urb->actual_length = 0;
            node.done.push_back(*urb);
            node.in_flight.erase(urb);
            return 0;
        }
    }
    return EINVAL;
}

bool UmockdevUsbfs::handle_ioctl(_UMockdevIoctlClient* client) {
    const std::lock_guard lock(mutex_);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    Node* node = node_of_devnode(umockdev_ioctl_client_get_devnode(client));
    auto answer = [&](int error) {
        umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
        return true;
    };
    if (node == nullptr) {
        return answer(ENODEV);
    }
    follow_real_time();
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps =
                umockdev_ioctl_data_resolve(argument, 0, sizeof(std::uint32_t), nullptr);
            const std::uint32_t capabilities = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            std::memcpy(caps->data, &capabilities, sizeof capabilities);
            g_object_unref(caps);
            return answer(0);
        }
        case USBDEVFS_CLAIMINTERFACE:
            return answer(!node->open && open_on_bus(*node) ? 0 : EBUSY);
        case USBDEVFS_RELEASEINTERFACE:
            close_on_bus(*node);
            return answer(0);
        case USBDEVFS_DISCONNECT_CLAIM:  // as on kernels before 3.8: libusb falls back
            return answer(ENOTTY);
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:  // detaching a kernel driver: none is bound
            return answer(ENODATA);
        case USBDEVFS_SUBMITURB: {
            UMockdevIoctlData* urb =
                umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_urb), nullptr);
            const int error = submit(*node, urb);
            g_object_unref(urb);
            return answer(error);
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return answer(reap(*node, argument) ? 0 : EAGAIN);
        case USBDEVFS_DISCARDURB:
            return answer(discard(*node, *reinterpret_cast<unsigned long*>(argument->data)));
        default:
            unknown_.push_back(request);
            return answer(ENOTTY);
    }
}
#endif
