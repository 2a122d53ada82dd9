// The usbfs stand-in's device nodes: claim, release, submit, reap and discard,
// each URB carried out on the simulated bus.
#include "support/umockdev_usbfs.h"

#if defined(__linux__) && defined(OMBRIX_HAVE_UMOCKDEV)
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "support/umockdev_usbfs_node.h"

namespace {

constexpr std::size_t SETUP_LENGTH = 8;
constexpr std::uint8_t REQUEST_GET_DESCRIPTOR = 6;
constexpr std::uint8_t REQUEST_TYPE_MASK = 0x60;  // standard, class or vendor

}  // namespace

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
    // A request the device stalls completes with -EPIPE, as usbfs reports it.
    const int got = bus_.control_transfer(node.device, setup, data);
    urb.status = got < 0 ? -EPIPE : 0;
    urb.actual_length = std::max(got, 0);
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
