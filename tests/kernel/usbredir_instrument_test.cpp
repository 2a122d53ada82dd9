// The usbredir server against a peer of the test's own in QEMU's place: what a
// misbehaving guest side sends is answered with a stall or an error, and the
// server goes on serving.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "images/images.h"
#include "kernel/usbredir_instrument.h"
#include "resources/embedded_image_set.h"
#include "sim/loaded_images.h"
#include "sim/sim.h"

namespace {

// The guest side of the protocol, as QEMU's usb-redir device plays it.
class GuestPeer {
  public:
    struct Reply {
        std::uint8_t status = 0xFF;
        std::vector<std::uint8_t> data;
    };

    explicit GuestPeer(const std::string& socket_path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        parser_ = usbredirparser_create();
        parser_->priv = this;
        install_callbacks();
        std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                        usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length,
                        usb_redir_cap_device_disconnect_ack}) {
            usbredirparser_caps_set_cap(caps, cap);
        }
        usbredirparser_init(parser_, "test peer", caps, USB_REDIR_CAPS_SIZE, 0);
    }

    ~GuestPeer() {
        usbredirparser_destroy(parser_);
        close(fd_);
    }

    bool connected() const { return connected_; }
    bool device_connected() const { return device_connected_; }

    // Exchanges data until done() holds or the time passes.
    bool pump_until(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline || failed_) {
                return false;
            }
            while (usbredirparser_has_data_to_write(parser_) != 0) {
                if (usbredirparser_do_write(parser_) < 0) {
                    return false;
                }
            }
            pollfd readable{fd_, POLLIN, 0};
            if (poll(&readable, 1, 50) > 0 && usbredirparser_do_read(parser_) != 0) {
                return false;
            }
        }
        return true;
    }

    // An IN request of length bytes, or an OUT request with out's bytes.
    void send_control(std::uint64_t id, std::uint8_t request_type, std::uint8_t request,
                      std::uint16_t value, std::uint16_t length, std::vector<std::uint8_t> out = {}) {
        if (!out.empty()) {
            length = static_cast<std::uint16_t>(out.size());
        }
        usb_redir_control_packet_header header{static_cast<std::uint8_t>(request_type & 0x80), request,
                                               request_type, 0, value, 0, length};
        usbredirparser_send_control_packet(parser_, id, &header, out.data(), static_cast<int>(out.size()));
    }

    void send_bulk(std::uint64_t id, std::uint8_t endpoint, std::size_t length) {
        usb_redir_bulk_packet_header header{endpoint, 0, static_cast<std::uint16_t>(length & 0xFFFF), 0,
                                            static_cast<std::uint16_t>(length >> 16)};
        std::vector<std::uint8_t> data((endpoint & 0x80) != 0 ? 0 : length, 0x5A);
        usbredirparser_send_bulk_packet(parser_, id, &header, data.data(), static_cast<int>(data.size()));
    }

    std::map<std::uint64_t, Reply> replies;
    usb_redir_device_connect_header device{};  // the last connect's
    usb_redir_ep_info_header endpoints{};
    int connects = 0;
    int disconnects = 0;

  private:
    void install_callbacks() {
        parser_->read_func = [](void* priv, std::uint8_t* data, int count) -> int {
            auto* self = static_cast<GuestPeer*>(priv);
            const ssize_t got = recv(self->fd_, data, static_cast<std::size_t>(count), MSG_DONTWAIT);
            if (got > 0) {
                return static_cast<int>(got);
            }
            if (got < 0 && errno == EAGAIN) {
                return 0;
            }
            self->failed_ = true;
            return -1;
        };
        parser_->write_func = [](void* priv, std::uint8_t* data, int count) -> int {
            auto* self = static_cast<GuestPeer*>(priv);
            const ssize_t put = send(self->fd_, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
            return put < 0 ? -1 : static_cast<int>(put);
        };
        parser_->log_func = [](void*, int, const char*) {};
        parser_->device_connect_func = [](void* priv, usb_redir_device_connect_header* header) {
            auto* self = static_cast<GuestPeer*>(priv);
            self->device_connected_ = true;
            self->device = *header;
            ++self->connects;
        };
        parser_->ep_info_func = [](void* priv, usb_redir_ep_info_header* header) {
            static_cast<GuestPeer*>(priv)->endpoints = *header;
        };
        parser_->device_disconnect_func = [](void* priv) {
            auto* self = static_cast<GuestPeer*>(priv);
            self->device_connected_ = false;
            ++self->disconnects;
        };
        parser_->control_packet_func = [](void* priv, std::uint64_t id,
                                          usb_redir_control_packet_header* header, std::uint8_t* data,
                                          int length) {
            auto* self = static_cast<GuestPeer*>(priv);
            self->replies[id] = {header->status, std::vector<std::uint8_t>(data, data + length)};
            usbredirparser_free_packet_data(self->parser_, data);
        };
        parser_->bulk_packet_func = [](void* priv, std::uint64_t id, usb_redir_bulk_packet_header* header,
                                       std::uint8_t* data, int length) {
            auto* self = static_cast<GuestPeer*>(priv);
            self->replies[id] = {header->status, std::vector<std::uint8_t>(data, data + length)};
            usbredirparser_free_packet_data(self->parser_, data);
        };
        // The rest is not expected; each must be set all the same.
        parser_->hello_func = [](void*, usb_redir_hello_header*) {};
        parser_->reset_func = [](void*) {};
        parser_->interface_info_func = [](void*, usb_redir_interface_info_header*) {};
        parser_->set_configuration_func = [](void*, std::uint64_t, usb_redir_set_configuration_header*) {};
        parser_->get_configuration_func = [](void*, std::uint64_t) {};
        parser_->configuration_status_func = [](void*, std::uint64_t, usb_redir_configuration_status_header*) {};
        parser_->set_alt_setting_func = [](void*, std::uint64_t, usb_redir_set_alt_setting_header*) {};
        parser_->get_alt_setting_func = [](void*, std::uint64_t, usb_redir_get_alt_setting_header*) {};
        parser_->alt_setting_status_func = [](void*, std::uint64_t, usb_redir_alt_setting_status_header*) {};
        parser_->start_iso_stream_func = [](void*, std::uint64_t, usb_redir_start_iso_stream_header*) {};
        parser_->stop_iso_stream_func = [](void*, std::uint64_t, usb_redir_stop_iso_stream_header*) {};
        parser_->iso_stream_status_func = [](void*, std::uint64_t, usb_redir_iso_stream_status_header*) {};
        parser_->start_interrupt_receiving_func = [](void*, std::uint64_t,
                                                     usb_redir_start_interrupt_receiving_header*) {};
        parser_->stop_interrupt_receiving_func = [](void*, std::uint64_t,
                                                    usb_redir_stop_interrupt_receiving_header*) {};
        parser_->interrupt_receiving_status_func = [](void*, std::uint64_t,
                                                      usb_redir_interrupt_receiving_status_header*) {};
        parser_->alloc_bulk_streams_func = [](void*, std::uint64_t, usb_redir_alloc_bulk_streams_header*) {};
        parser_->free_bulk_streams_func = [](void*, std::uint64_t, usb_redir_free_bulk_streams_header*) {};
        parser_->bulk_streams_status_func = [](void*, std::uint64_t, usb_redir_bulk_streams_status_header*) {};
        parser_->cancel_data_packet_func = [](void*, std::uint64_t) {};
        parser_->iso_packet_func = [](void* priv, std::uint64_t, usb_redir_iso_packet_header*,
                                      std::uint8_t* data, int) {
            usbredirparser_free_packet_data(static_cast<GuestPeer*>(priv)->parser_, data);
        };
        parser_->interrupt_packet_func = [](void* priv, std::uint64_t, usb_redir_interrupt_packet_header*,
                                            std::uint8_t* data, int) {
            usbredirparser_free_packet_data(static_cast<GuestPeer*>(priv)->parser_, data);
        };
        parser_->buffered_bulk_packet_func = [](void* priv, std::uint64_t,
                                                usb_redir_buffered_bulk_packet_header*, std::uint8_t* data,
                                                int) {
            usbredirparser_free_packet_data(static_cast<GuestPeer*>(priv)->parser_, data);
        };
        parser_->filter_reject_func = [](void*) {};
        parser_->filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { free(rules); };
        parser_->device_disconnect_ack_func = [](void*) {};
        parser_->start_bulk_receiving_func = [](void*, std::uint64_t, usb_redir_start_bulk_receiving_header*) {};
        parser_->stop_bulk_receiving_func = [](void*, std::uint64_t, usb_redir_stop_bulk_receiving_header*) {};
        parser_->bulk_receiving_status_func = [](void*, std::uint64_t,
                                                 usb_redir_bulk_receiving_status_header*) {};
    }

    int fd_ = -1;
    bool connected_ = false;
    bool failed_ = false;
    bool device_connected_ = false;
    usbredirparser* parser_ = nullptr;
};

TEST(UsbredirServer, AnswersWhatNoDeviceWouldTakeWithAStallAndKeepsServing) {
    ASSERT_TRUE(image_set_load(embedded_image_source()));
    char pattern[] = "/tmp/ombrix-redir-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string socket_path = std::string(pattern) + "/redir.sock";
    sim::InstrumentConfig config;
    config.timing = sim::Timing::instant();
    auto instrument = std::make_unique<sim::Instrument>(std::move(config), sim::loaded_image_set());
    kernel_bed::UsbredirInstrumentServer server(std::move(instrument), socket_path, 1.0);
    ASSERT_TRUE(server.start()) << server.error();

    GuestPeer peer(socket_path);
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.pump_until([&] { return peer.device_connected(); }));

    peer.send_control(1, 0x80, 0x33, 0, 8);             // a standard request no device knows
    peer.send_control(2, 0xC0, 0x99, 0, 8);             // a vendor request the instrument lacks
    peer.send_bulk(3, 0x81, 64);                        // an endpoint the device does not have
    peer.send_bulk(4, 0x02, 3 * 1024 * 1024);           // a bulk OUT beyond any buffer
    peer.send_bulk(5, 0x86, 0);                         // a read of nothing
    peer.send_control(6, 0x80, 6, 0x0100, 18);          // and then the device descriptor
    ASSERT_TRUE(peer.pump_until([&] { return peer.replies.size() == 6; }))
        << peer.replies.size() << " replies";

    for (std::uint64_t refused = 1; refused <= 5; ++refused) {
        EXPECT_EQ(peer.replies[refused].status, usb_redir_stall) << "request " << refused;
        EXPECT_TRUE(peer.replies[refused].data.empty()) << "request " << refused;
    }
    EXPECT_EQ(peer.replies[6].status, usb_redir_success);
    ASSERT_EQ(peer.replies[6].data.size(), 18U);
    EXPECT_EQ(peer.replies[6].data[1], 1);  // a device descriptor
    server.stop();
    std::filesystem::remove_all(pattern);
}

// An EEPROM without a boot image leaves the bare controller: the guest sees its
// own ids and endpoint 0 alone, the firmware-load request is the device's to
// answer, the instrument's requests stall. Released with nothing loaded, it
// runs astray: the device leaves for good and the server waits idle.
TEST(UsbredirServer, ServesTheBareControllerAndLetsItGoWhenItRunsAstray) {
    ASSERT_TRUE(image_set_load(embedded_image_source()));
    char pattern[] = "/tmp/ombrix-redir-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string socket_path = std::string(pattern) + "/redir.sock";
    sim::InstrumentConfig config;
    config.timing = sim::Timing::instant();
    config.initial.eeprom = sim::Contents::blank;
    auto instrument = std::make_unique<sim::Instrument>(std::move(config), sim::loaded_image_set());
    kernel_bed::UsbredirInstrumentServer server(std::move(instrument), socket_path, 1.0);
    ASSERT_TRUE(server.start()) << server.error();

    GuestPeer peer(socket_path);
    ASSERT_TRUE(peer.pump_until([&] { return peer.device_connected(); }));
    EXPECT_EQ(peer.device.vendor_id, BARE_CONTROLLER_VENDOR_ID);
    EXPECT_EQ(peer.device.product_id, BARE_CONTROLLER_PRODUCT_ID);
    for (int slot = 0; slot < 32; ++slot) {
        const bool endpoint_zero = slot == 0 || slot == 0x10;
        EXPECT_EQ(peer.endpoints.type[slot], endpoint_zero ? usb_redir_type_control : usb_redir_type_invalid)
            << "slot " << slot;
    }

    peer.send_control(1, 0x40, VREQ_FIRMWARE_LOAD, CONTROLLER_CPUCS, 0, {0x01});  // hold the 8051
    peer.send_control(2, 0xC0, VREQ_BUS_TRANSFER, BUS_EEPROM_READ | BUS_ADDRESS_EEPROM, 8);
    peer.send_control(3, 0x40, VREQ_FIRMWARE_LOAD, CONTROLLER_CPUCS, 0, {0x00});  // release it
    ASSERT_TRUE(peer.pump_until([&] { return peer.replies.size() == 3 && peer.disconnects == 1; }))
        << peer.replies.size() << " replies, " << peer.disconnects << " disconnects";
    EXPECT_EQ(peer.replies[1].status, usb_redir_success);
    EXPECT_EQ(peer.replies[2].status, usb_redir_stall);
    EXPECT_TRUE(peer.replies[2].data.empty());
    EXPECT_EQ(peer.replies[3].status, usb_redir_success);

    EXPECT_FALSE(peer.pump_until([&] { return peer.connects > 1; }, std::chrono::seconds(1)));
    bool hung = false;
    server.with_instrument([&](sim::Instrument& device) { hung = device.hung(); });
    EXPECT_TRUE(hung);
    server.stop();
    // A second of waiting for a device that never returns: polling, not spinning.
    EXPECT_LT(server.figures().thread_cpu_seconds, 0.3);
    std::filesystem::remove_all(pattern);
}

}  // namespace
