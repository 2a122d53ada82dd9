// The usbfs stand-in: the testbed's sysfs devices, one per instrument on the
// simulated bus, and the clock that follows real time.
#include "support/umockdev_usbfs.h"
#include "support/umockdev_usbfs_node.h"

#if defined(__linux__) && defined(OMBRIX_HAVE_UMOCKDEV)
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>

#include "sim/synthetic_images.h"
#include "sim/usb_identity.h"

namespace {

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
// standard instrument or of a bare controller.
std::vector<std::uint8_t> sysfs_descriptors(sim::SimBackend& bus, const std::string& sim_path,
                                            bool bare) {
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
    identity.instrument_firmware = !bare;
    identity.vendor_id = bare ? sim::CONTROLLER_DEFAULT_VENDOR_ID : sim::SYNTHETIC_VENDOR_ID;
    identity.product_id = bare ? sim::CONTROLLER_DEFAULT_PRODUCT_ID : sim::SYNTHETIC_PRODUCT_ID;
    identity.device_id = bare ? sim::CONTROLLER_DEFAULT_DEVICE_ID : sim::SYNTHETIC_DEVICE_ID;
    device = sim::make_device_descriptor(identity, !bare);
    configuration = sim::make_configuration_descriptor(bare ? std::vector<sim::EndpointSpec>{}
                                                            : sim::instrument_endpoints());
    if (bare) {
        std::fill(device.begin() + 14, device.begin() + 17, 0);  // no strings
    }
    device.insert(device.end(), configuration.begin(), configuration.end());
    return device;
}

}  // namespace

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
    // Controllers that came up without firmware are on the bus as well.
    std::vector<std::string> bare;
    Guid bare_class;
    _parse_guid(BARE_CONTROLLER_GUID, &bare_class);
    bus_.list_interfaces(bare_class, bare);
    present.insert(present.end(), bare.begin(), bare.end());
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
            add_node(sim_path, std::find(bare.begin(), bare.end(), sim_path) != bare.end());
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

void UmockdevUsbfs::add_node(const std::string& sim_path, bool bare) {
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

    const std::vector<std::uint8_t> descriptors = sysfs_descriptors(bus_, sim_path, bare);
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

std::size_t UmockdevUsbfs::urbs_outstanding() {
    const std::lock_guard lock(mutex_);
    std::size_t outstanding = 0;
    for (const auto& node : nodes_) {
        outstanding += node->in_flight.size() + node->done.size();
    }
    return outstanding;
}

std::vector<unsigned long> UmockdevUsbfs::unknown_requests() {
    const std::lock_guard lock(mutex_);
    return unknown_;
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

#endif
