#include "kernel/usbredir_instrument.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "device/usb.h"
#include "sim/sim_backend.h"

namespace kernel_bed {

namespace {

constexpr std::uint8_t DESCRIPTOR_INTERFACE = 4;
constexpr std::uint8_t DESCRIPTOR_ENDPOINT = 5;
constexpr std::uint8_t REQUEST_GET_STATUS = 0;
constexpr std::uint8_t REQUEST_CLEAR_FEATURE = 1;
constexpr std::uint8_t REQUEST_GET_DESCRIPTOR = 6;
constexpr std::uint8_t REQUEST_TYPE_MASK = 0x60;
constexpr std::uint8_t REQUEST_TYPE_STANDARD = 0x00;
// The longest the loop sleeps without looking at the instrument's clock.
constexpr int LONGEST_POLL_MS = 20;

struct FdCloser {
    int fd = -1;
    ~FdCloser() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

std::uint64_t thread_cpu_us() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// Where an endpoint's information goes in usbredir's tables: the number, with
// 16 added for IN endpoints.
int endpoint_slot(std::uint8_t address) {
    return (address & 0x0F) | ((address & 0x80) != 0 ? 0x10 : 0);
}

struct DeviceTables {
    usb_redir_device_connect_header connect{};
    usb_redir_interface_info_header interfaces{};
    usb_redir_ep_info_header endpoints{};
};

// The connect, interface and endpoint tables from the instrument's device and
// configuration descriptors, read within the bytes each descriptor has.
DeviceTables device_tables(const sim::Instrument& instrument) {
    DeviceTables tables;
    std::fill(std::begin(tables.endpoints.type), std::end(tables.endpoints.type),
              static_cast<std::uint8_t>(usb_redir_type_invalid));
    tables.endpoints.type[0] = usb_redir_type_control;
    tables.endpoints.type[0x10] = usb_redir_type_control;
    tables.endpoints.max_packet_size[0] = 64;
    tables.endpoints.max_packet_size[0x10] = 64;

    const auto device = instrument.descriptor(DESCRIPTOR_TYPE_DEVICE, 0);
    tables.connect.speed = usb_redir_speed_high;
    if (device && device->size() >= 18) {
        const auto& d = *device;
        tables.connect.device_class = d[4];
        tables.connect.device_subclass = d[5];
        tables.connect.device_protocol = d[6];
        tables.connect.vendor_id = static_cast<std::uint16_t>(d[8] | (d[9] << 8));
        tables.connect.product_id = static_cast<std::uint16_t>(d[10] | (d[11] << 8));
        tables.connect.device_version_bcd = static_cast<std::uint16_t>(d[12] | (d[13] << 8));
        tables.endpoints.max_packet_size[0] = d[7];
        tables.endpoints.max_packet_size[0x10] = d[7];
    }

    const auto configuration = instrument.descriptor(DESCRIPTOR_TYPE_CONFIGURATION, 0);
    if (!configuration) {
        return tables;
    }
    const std::span<const std::uint8_t> bytes(*configuration);
    std::uint8_t interface_number = 0;
    bool alternate = false;
    for (std::size_t at = 0; at + 2 <= bytes.size();) {
        const std::size_t length = bytes[at];
        if (length < 2 || at + length > bytes.size()) {
            break;
        }
        const auto descriptor = bytes.subspan(at, length);
        if (descriptor[1] == DESCRIPTOR_INTERFACE && length >= 9) {
            interface_number = descriptor[2];
            alternate = descriptor[3] != 0;
            auto& interfaces = tables.interfaces;
            if (!alternate && interfaces.interface_count < 32) {
                const auto i = interfaces.interface_count++;
                interfaces.interface[i] = descriptor[2];
                interfaces.interface_class[i] = descriptor[5];
                interfaces.interface_subclass[i] = descriptor[6];
                interfaces.interface_protocol[i] = descriptor[7];
            }
        } else if (descriptor[1] == DESCRIPTOR_ENDPOINT && length >= 7 && !alternate) {
            const int slot = endpoint_slot(descriptor[2]);
            tables.endpoints.type[slot] = descriptor[3] & 0x03;
            tables.endpoints.interval[slot] = descriptor[6];
            tables.endpoints.interface[slot] = interface_number;
            tables.endpoints.max_packet_size[slot] =
                static_cast<std::uint16_t>(descriptor[4] | (descriptor[5] << 8));
        }
        at += length;
    }
    return tables;
}

}  // namespace

// One connection from QEMU: the parser, the transfers it has in flight, and
// what the guest has been told about the device.
class UsbredirInstrumentServer::Session {
  public:
    Session(UsbredirInstrumentServer& server, int fd);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves until QEMU closes the connection or the server stops.
    void run();

  private:
    // A reply due at a virtual time: a control transfer's, or a bulk OUT's.
    struct Reply {
        std::uint64_t id = 0;
        std::optional<std::uint64_t> due_us;  // nullopt: the endpoint never takes it
        bool control = false;
        usb_redir_control_packet_header control_header{};
        usb_redir_bulk_packet_header bulk_header{};
        std::vector<std::uint8_t> data;
        std::optional<std::size_t> record;  // the instrument's record of a bulk OUT
    };
    // A bulk IN request, held until the instrument has data for it.
    struct Read {
        std::uint64_t id = 0;
        usb_redir_bulk_packet_header header{};
        std::size_t length = 0;
        std::size_t record = 0;
        std::uint64_t started_us = 0;
    };

    sim::Instrument& instrument() { return *server_.instrument_; }
    std::uint64_t now_us() const;

    // Protocol events (callbacks of the parser, made while the lock is held).
    void on_hello();
    void on_control(std::uint64_t id, const usb_redir_control_packet_header& header,
                    std::span<const std::uint8_t> data);
    void on_bulk(std::uint64_t id, const usb_redir_bulk_packet_header& header,
                 std::span<const std::uint8_t> data);
    void on_cancel(std::uint64_t id);
    void on_disconnect_ack();

    void serve_standard_request(std::uint64_t id, usb_redir_control_packet_header header);
    void send_control(std::uint64_t id, usb_redir_control_packet_header header, std::uint8_t status,
                      std::span<const std::uint8_t> data);
    void send_bulk(std::uint64_t id, usb_redir_bulk_packet_header header, std::uint8_t status,
                   std::span<const std::uint8_t> data);
    void refuse_bulk(std::uint64_t id, const usb_redir_bulk_packet_header& header);

    // The instrument's side: what is due now, and whether it is on the bus.
    void complete_due(std::uint64_t now);
    void follow_presence(std::uint64_t now);
    void connect_device();
    void drop_in_flight(std::uint64_t now);
    std::optional<std::uint64_t> next_due_us() const;
    bool flush();

    static void install_callbacks(usbredirparser& parser);

    UsbredirInstrumentServer& server_;
    int fd_;
    usbredirparser* parser_ = nullptr;
    bool closed_ = false;
    bool hello_ = false;
    std::optional<std::uint64_t> connected_session_;
    bool awaiting_disconnect_ack_ = false;
    std::deque<Reply> replies_;
    std::deque<Read> reads_;
    std::chrono::steady_clock::time_point started_;
    std::uint64_t base_us_ = 0;
};

// ---- the parser's callbacks ----

void UsbredirInstrumentServer::Session::install_callbacks(usbredirparser& parser) {
    parser.log_func = [](void*, int level, const char* message) {
        if (level <= usbredirparser_error) {
            std::fprintf(stderr, "usbredir: %s\n", message);
        }
    };
    parser.read_func = [](void* priv, std::uint8_t* data, int count) -> int {
        auto* self = static_cast<Session*>(priv);
        const ssize_t got = read(self->fd_, data, static_cast<std::size_t>(count));
        if (got > 0) {
            return static_cast<int>(got);
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            return 0;
        }
        self->closed_ = true;
        return -1;
    };
    parser.write_func = [](void* priv, std::uint8_t* data, int count) -> int {
        auto* self = static_cast<Session*>(priv);
        const ssize_t put = send(self->fd_, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
        if (put >= 0) {
            return static_cast<int>(put);
        }
        if (errno == EAGAIN || errno == EINTR) {
            return 0;
        }
        self->closed_ = true;
        return -1;
    };
    parser.hello_func = [](void* priv, usb_redir_hello_header*) {
        static_cast<Session*>(priv)->on_hello();
    };
    // The host side never receives these: QEMU is the guest side.
    parser.device_connect_func = [](void*, usb_redir_device_connect_header*) {};
    parser.device_disconnect_func = [](void*) {};
    parser.interface_info_func = [](void*, usb_redir_interface_info_header*) {};
    parser.ep_info_func = [](void*, usb_redir_ep_info_header*) {};
    parser.configuration_status_func = [](void*, std::uint64_t,
                                          usb_redir_configuration_status_header*) {};
    parser.alt_setting_status_func = [](void*, std::uint64_t, usb_redir_alt_setting_status_header*) {};
    parser.iso_stream_status_func = [](void*, std::uint64_t, usb_redir_iso_stream_status_header*) {};
    parser.interrupt_receiving_status_func = [](void*, std::uint64_t,
                                                usb_redir_interrupt_receiving_status_header*) {};
    parser.bulk_streams_status_func = [](void*, std::uint64_t, usb_redir_bulk_streams_status_header*) {};
    parser.bulk_receiving_status_func = [](void*, std::uint64_t,
                                           usb_redir_bulk_receiving_status_header*) {};
    parser.buffered_bulk_packet_func = [](void* priv, std::uint64_t,
                                          usb_redir_buffered_bulk_packet_header*, std::uint8_t* data,
                                          int) {
        usbredirparser_free_packet_data(static_cast<Session*>(priv)->parser_, data);
    };
    // A reset reaches the device through the bus; the instrument keeps its state.
    parser.reset_func = [](void*) {};
    parser.set_configuration_func = [](void* priv, std::uint64_t id,
                                       usb_redir_set_configuration_header* set) {
        usb_redir_configuration_status_header status{usb_redir_success, set->configuration};
        usbredirparser_send_configuration_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    parser.get_configuration_func = [](void* priv, std::uint64_t id) {
        usb_redir_configuration_status_header status{usb_redir_success, 1};
        usbredirparser_send_configuration_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    parser.set_alt_setting_func = [](void* priv, std::uint64_t id,
                                     usb_redir_set_alt_setting_header* set) {
        // Only alternate setting 0 exists.
        usb_redir_alt_setting_status_header status{
            static_cast<std::uint8_t>(set->alt == 0 ? usb_redir_success : usb_redir_stall),
            set->interface, 0};
        usbredirparser_send_alt_setting_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    parser.get_alt_setting_func = [](void* priv, std::uint64_t id,
                                     usb_redir_get_alt_setting_header* get) {
        usb_redir_alt_setting_status_header status{usb_redir_success, get->interface, 0};
        usbredirparser_send_alt_setting_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    // No isochronous or interrupt endpoints, no streams: refused.
    parser.start_iso_stream_func = [](void* priv, std::uint64_t id,
                                      usb_redir_start_iso_stream_header* start) {
        usb_redir_iso_stream_status_header status{usb_redir_inval, start->endpoint};
        usbredirparser_send_iso_stream_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    parser.stop_iso_stream_func = [](void* priv, std::uint64_t id,
                                     usb_redir_stop_iso_stream_header* stop) {
        usb_redir_iso_stream_status_header status{usb_redir_inval, stop->endpoint};
        usbredirparser_send_iso_stream_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    parser.start_interrupt_receiving_func = [](void* priv, std::uint64_t id,
                                               usb_redir_start_interrupt_receiving_header* start) {
        usb_redir_interrupt_receiving_status_header status{usb_redir_inval, start->endpoint};
        usbredirparser_send_interrupt_receiving_status(static_cast<Session*>(priv)->parser_, id,
                                                       &status);
    };
    parser.stop_interrupt_receiving_func = [](void* priv, std::uint64_t id,
                                              usb_redir_stop_interrupt_receiving_header* stop) {
        usb_redir_interrupt_receiving_status_header status{usb_redir_inval, stop->endpoint};
        usbredirparser_send_interrupt_receiving_status(static_cast<Session*>(priv)->parser_, id,
                                                       &status);
    };
    parser.alloc_bulk_streams_func = [](void* priv, std::uint64_t id,
                                        usb_redir_alloc_bulk_streams_header* alloc) {
        usb_redir_bulk_streams_status_header status{alloc->endpoints, 0, usb_redir_inval};
        usbredirparser_send_bulk_streams_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    parser.free_bulk_streams_func = [](void* priv, std::uint64_t id,
                                       usb_redir_free_bulk_streams_header* release) {
        usb_redir_bulk_streams_status_header status{release->endpoints, 0, usb_redir_inval};
        usbredirparser_send_bulk_streams_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    parser.start_bulk_receiving_func = [](void* priv, std::uint64_t id,
                                          usb_redir_start_bulk_receiving_header* start) {
        usb_redir_bulk_receiving_status_header status{0, start->endpoint, usb_redir_inval};
        usbredirparser_send_bulk_receiving_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    parser.stop_bulk_receiving_func = [](void* priv, std::uint64_t id,
                                         usb_redir_stop_bulk_receiving_header* stop) {
        usb_redir_bulk_receiving_status_header status{0, stop->endpoint, usb_redir_inval};
        usbredirparser_send_bulk_receiving_status(static_cast<Session*>(priv)->parser_, id, &status);
    };
    parser.iso_packet_func = [](void* priv, std::uint64_t id, usb_redir_iso_packet_header* header,
                                std::uint8_t* data, int) {
        auto* self = static_cast<Session*>(priv);
        usbredirparser_free_packet_data(self->parser_, data);
        usb_redir_iso_packet_header reply = *header;
        reply.status = usb_redir_inval;
        reply.length = 0;
        usbredirparser_send_iso_packet(self->parser_, id, &reply, nullptr, 0);
    };
    parser.interrupt_packet_func = [](void* priv, std::uint64_t id,
                                      usb_redir_interrupt_packet_header* header,
                                      std::uint8_t* data, int) {
        auto* self = static_cast<Session*>(priv);
        usbredirparser_free_packet_data(self->parser_, data);
        usb_redir_interrupt_packet_header reply = *header;
        reply.status = usb_redir_inval;
        reply.length = 0;
        usbredirparser_send_interrupt_packet(self->parser_, id, &reply, nullptr, 0);
    };
    parser.filter_reject_func = [](void*) {};
    parser.filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { free(rules); };
    parser.device_disconnect_ack_func = [](void* priv) {
        static_cast<Session*>(priv)->on_disconnect_ack();
    };
    parser.cancel_data_packet_func = [](void* priv, std::uint64_t id) {
        static_cast<Session*>(priv)->on_cancel(id);
    };
    parser.control_packet_func = [](void* priv, std::uint64_t id,
                                    usb_redir_control_packet_header* header, std::uint8_t* data,
                                    int length) {
        auto* self = static_cast<Session*>(priv);
        const std::span<const std::uint8_t> bytes(data, data == nullptr ? 0 : static_cast<std::size_t>(length));
        self->on_control(id, *header, bytes);
        usbredirparser_free_packet_data(self->parser_, data);
    };
    parser.bulk_packet_func = [](void* priv, std::uint64_t id, usb_redir_bulk_packet_header* header,
                                 std::uint8_t* data, int length) {
        auto* self = static_cast<Session*>(priv);
        const std::span<const std::uint8_t> bytes(data, data == nullptr ? 0 : static_cast<std::size_t>(length));
        self->on_bulk(id, *header, bytes);
        usbredirparser_free_packet_data(self->parser_, data);
    };
}

UsbredirInstrumentServer::Session::Session(UsbredirInstrumentServer& server, int fd)
    : server_(server), fd_(fd), started_(std::chrono::steady_clock::now()) {
    {
        const std::lock_guard lock(server_.mutex_);
        base_us_ = server_.virtual_base_us_;
    }
    parser_ = usbredirparser_create();
    parser_->priv = this;
    install_callbacks(*parser_);
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
    usbredirparser_init(parser_, "ombrix simulated instrument", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);
}

UsbredirInstrumentServer::Session::~Session() {
    const std::lock_guard lock(server_.mutex_);
    drop_in_flight(now_us());
    server_.virtual_base_us_ = now_us();
    usbredirparser_destroy(parser_);
}

std::uint64_t UsbredirInstrumentServer::Session::now_us() const {
    const auto real = std::chrono::steady_clock::now() - started_;
    const double real_us =
        static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(real).count());
    return base_us_ + static_cast<std::uint64_t>(real_us * server_.speed_);
}

// ---- requests from the guest ----

void UsbredirInstrumentServer::Session::on_hello() {
    hello_ = true;
}

void UsbredirInstrumentServer::Session::send_control(std::uint64_t id,
                                                     usb_redir_control_packet_header header,
                                                     std::uint8_t status,
                                                     std::span<const std::uint8_t> data) {
    header.status = status;
    header.length = static_cast<std::uint16_t>(data.size());
    usbredirparser_send_control_packet(parser_, id, &header, const_cast<std::uint8_t*>(data.data()),
                                       static_cast<int>(data.size()));
}

void UsbredirInstrumentServer::Session::send_bulk(std::uint64_t id,
                                                  usb_redir_bulk_packet_header header,
                                                  std::uint8_t status,
                                                  std::span<const std::uint8_t> data) {
    header.status = status;
    header.length = static_cast<std::uint16_t>(data.size() & 0xFFFF);
    header.length_high = static_cast<std::uint16_t>(data.size() >> 16);
    usbredirparser_send_bulk_packet(parser_, id, &header, const_cast<std::uint8_t*>(data.data()),
                                    static_cast<int>(data.size()));
}

void UsbredirInstrumentServer::Session::serve_standard_request(
    std::uint64_t id, usb_redir_control_packet_header header) {
    const bool in = (header.requesttype & 0x80) != 0;
    if (in && header.request == REQUEST_GET_DESCRIPTOR) {
        const auto descriptor = instrument().descriptor(static_cast<std::uint8_t>(header.value >> 8),
                                                        static_cast<std::uint8_t>(header.value & 0xFF));
        if (descriptor) {
            const std::size_t count = std::min<std::size_t>(descriptor->size(), header.length);
            send_control(id, header, usb_redir_success, std::span(*descriptor).first(count));
            return;
        }
    } else if (in && header.request == REQUEST_GET_STATUS) {
        const std::uint8_t status[2] = {0, 0};
        send_control(id, header, usb_redir_success,
                     std::span<const std::uint8_t>(status).first(std::min<std::size_t>(2, header.length)));
        return;
    } else if (!in && header.request == REQUEST_CLEAR_FEATURE && header.length == 0) {
        // Clearing an endpoint's halt: nothing stays halted here.
        send_control(id, header, usb_redir_success, {});
        return;
    }
    ++server_.figures_.refused;
    send_control(id, header, usb_redir_stall, {});
}

void UsbredirInstrumentServer::Session::on_control(std::uint64_t id,
                                                   const usb_redir_control_packet_header& header,
                                                   std::span<const std::uint8_t> data) {
    ++server_.figures_.control_packets;
    if (!connected_session_ || (header.endpoint & 0x7F) != 0) {
        ++server_.figures_.refused;
        send_control(id, header, usb_redir_ioerror, {});
        return;
    }
    if ((header.requesttype & REQUEST_TYPE_MASK) == REQUEST_TYPE_STANDARD) {
        serve_standard_request(id, header);
        return;
    }
    const bool in = (header.requesttype & 0x80) != 0;
    const std::uint64_t now = now_us();
    UsbSetupPacket setup{header.requesttype, header.request, header.value, header.index,
                         header.length};
    std::vector<std::uint8_t> buffer;
    if (in) {
        buffer.assign(header.length, 0);
    } else {
        buffer.assign(data.begin(), data.end());
    }
    const auto outcome = instrument().control_transfer(setup, buffer, now);
    Reply reply;
    reply.id = id;
    reply.control = true;
    reply.control_header = header;
    reply.control_header.status = outcome.failed ? usb_redir_stall : usb_redir_success;
    if (in && !outcome.failed) {
        buffer.resize(std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(outcome.bytes)));
        reply.data = std::move(buffer);
    }
    // An OUT reply tells how many bytes were taken.
    reply.control_header.length =
        static_cast<std::uint16_t>(in ? reply.data.size() : (outcome.failed ? 0 : outcome.bytes));
    reply.due_us = now + outcome.duration_us;
    replies_.push_back(std::move(reply));
}

void UsbredirInstrumentServer::Session::refuse_bulk(std::uint64_t id,
                                                    const usb_redir_bulk_packet_header& header) {
    ++server_.figures_.refused;
    send_bulk(id, header, usb_redir_stall, {});
}

void UsbredirInstrumentServer::Session::on_bulk(std::uint64_t id,
                                                const usb_redir_bulk_packet_header& header,
                                                std::span<const std::uint8_t> data) {
    const std::size_t length = header.length | (static_cast<std::size_t>(header.length_high) << 16);
    const std::uint64_t now = now_us();
    if (!connected_session_) {
        ++server_.figures_.refused;
        send_bulk(id, header, usb_redir_ioerror, {});
        return;
    }
    if (header.endpoint == PIPE_BULK_OUT) {
        ++server_.figures_.bulk_out_packets;
        if (data.size() != length || length > sim::SimBackend::MAX_TRANSFER_SIZE) {
            refuse_bulk(id, header);
            return;
        }
        const auto outcome = instrument().bulk_write(PIPE_BULK_OUT, data, now);
        if (!outcome.started) {
            send_bulk(id, header, usb_redir_ioerror, {});
            return;
        }
        Reply reply;
        reply.id = id;
        reply.bulk_header = header;
        reply.bulk_header.status = usb_redir_success;
        reply.bulk_header.length = static_cast<std::uint16_t>(outcome.accepted & 0xFFFF);
        reply.bulk_header.length_high = static_cast<std::uint16_t>(outcome.accepted >> 16);
        reply.due_us = outcome.complete_us;
        reply.record = outcome.record;
        replies_.push_back(std::move(reply));
        return;
    }
    if (header.endpoint == PIPE_BULK_IN) {
        ++server_.figures_.bulk_in_packets;
        if (length == 0 || length > sim::SimBackend::MAX_TRANSFER_SIZE) {
            refuse_bulk(id, header);
            return;
        }
        const auto record = instrument().begin_bulk_read(PIPE_BULK_IN, length, now);
        if (!record) {
            send_bulk(id, header, usb_redir_ioerror, {});
            return;
        }
        reads_.push_back({id, header, length, *record, now});
        return;
    }
    // An endpoint the device does not have.
    refuse_bulk(id, header);
}

void UsbredirInstrumentServer::Session::on_cancel(std::uint64_t id) {
    const std::uint64_t now = now_us();
    const auto read = std::find_if(reads_.begin(), reads_.end(),
                                   [id](const Read& held) { return held.id == id; });
    if (read != reads_.end()) {
        ++server_.figures_.cancelled;
        instrument().end_transfer(read->record, sim::TransferStatus::aborted, now);
        send_bulk(id, read->header, usb_redir_cancelled, {});
        reads_.erase(read);
        return;
    }
    const auto reply = std::find_if(replies_.begin(), replies_.end(),
                                    [id](const Reply& due) { return due.id == id; });
    if (reply != replies_.end()) {
        ++server_.figures_.cancelled;
        if (reply->control) {
            send_control(id, reply->control_header, usb_redir_cancelled, {});
        } else {
            if (reply->record) {
                instrument().end_transfer(*reply->record, sim::TransferStatus::aborted, now);
            }
            send_bulk(id, reply->bulk_header, usb_redir_cancelled, {});
        }
        replies_.erase(reply);
    }
}

void UsbredirInstrumentServer::Session::on_disconnect_ack() {
    awaiting_disconnect_ack_ = false;
}

// ---- the instrument's side ----

void UsbredirInstrumentServer::Session::complete_due(std::uint64_t now) {
    for (auto reply = replies_.begin(); reply != replies_.end();) {
        if (!reply->due_us || *reply->due_us > now) {
            ++reply;
            continue;
        }
        if (reply->control) {
            usb_redir_control_packet_header header = reply->control_header;
            usbredirparser_send_control_packet(parser_, reply->id, &header, reply->data.data(),
                                               static_cast<int>(reply->data.size()));
        } else {
            if (reply->record) {
                instrument().end_transfer(*reply->record, sim::TransferStatus::completed, *reply->due_us);
            }
            usb_redir_bulk_packet_header header = reply->bulk_header;
            usbredirparser_send_bulk_packet(parser_, reply->id, &header, nullptr, 0);
        }
        reply = replies_.erase(reply);
    }
    // Reads complete in the order they were queued, as a pipe's transfers do.
    while (!reads_.empty()) {
        Read& read = reads_.front();
        const auto at = instrument().bulk_read_completion_us(PIPE_BULK_IN, read.length, read.started_us);
        if (!at || *at > now) {
            break;
        }
        std::vector<std::uint8_t> data(read.length);
        const std::size_t count = instrument().complete_bulk_read(read.record, data, *at);
        send_bulk(read.id, read.header, usb_redir_success, std::span(data).first(count));
        reads_.pop_front();
    }
}

void UsbredirInstrumentServer::Session::drop_in_flight(std::uint64_t now) {
    for (const Read& read : reads_) {
        instrument().end_transfer(read.record, sim::TransferStatus::failed, now);
        if (!closed_) {
            send_bulk(read.id, read.header, usb_redir_ioerror, {});
        }
    }
    reads_.clear();
    for (const Reply& reply : replies_) {
        if (reply.record) {
            instrument().end_transfer(*reply.record, sim::TransferStatus::failed, now);
        }
        if (closed_) {
            continue;
        }
        if (reply.control) {
            send_control(reply.id, reply.control_header, usb_redir_ioerror, {});
        } else {
            send_bulk(reply.id, reply.bulk_header, usb_redir_ioerror, {});
        }
    }
    replies_.clear();
}

void UsbredirInstrumentServer::Session::connect_device() {
    DeviceTables tables = device_tables(instrument());
    usbredirparser_send_interface_info(parser_, &tables.interfaces);
    usbredirparser_send_ep_info(parser_, &tables.endpoints);
    usbredirparser_send_device_connect(parser_, &tables.connect);
    connected_session_ = instrument().session();
    ++server_.figures_.connects;
}

void UsbredirInstrumentServer::Session::follow_presence(std::uint64_t now) {
    sim::Instrument& device = instrument();
    device.advance_to(now);
    const bool same_session = device.present() && connected_session_ == device.session();
    if (connected_session_ && !same_session) {
        // Gone from the bus (or back already as a new device): an unplug.
        drop_in_flight(now);
        usbredirparser_send_device_disconnect(parser_);
        connected_session_.reset();
        awaiting_disconnect_ack_ = true;
        ++server_.figures_.disconnects;
    }
    if (hello_ && !connected_session_ && !awaiting_disconnect_ack_ && device.present()) {
        connect_device();
    }
}

std::optional<std::uint64_t> UsbredirInstrumentServer::Session::next_due_us() const {
    std::optional<std::uint64_t> next = server_.instrument_->next_event_us();
    const auto consider = [&next](std::optional<std::uint64_t> at) {
        if (at && (!next || *at < *next)) {
            next = at;
        }
    };
    for (const Reply& reply : replies_) {
        consider(reply.due_us);
    }
    if (!reads_.empty()) {
        const Read& read = reads_.front();
        consider(server_.instrument_->bulk_read_completion_us(PIPE_BULK_IN, read.length,
                                                              read.started_us));
    }
    return next;
}

bool UsbredirInstrumentServer::Session::flush() {
    while (usbredirparser_has_data_to_write(parser_) != 0) {
        if (usbredirparser_do_write(parser_) < 0 || closed_) {
            return false;
        }
        if (usbredirparser_has_data_to_write(parser_) == 0) {
            break;
        }
        pollfd writable{fd_, POLLOUT, 0};
        if (poll(&writable, 1, LONGEST_POLL_MS) < 0 && errno != EINTR) {
            return false;
        }
        if (server_.stopping_.load()) {
            return false;
        }
    }
    return true;
}

void UsbredirInstrumentServer::Session::run() {
    const std::uint64_t cpu_at_start = thread_cpu_us();
    while (!server_.stopping_.load() && !closed_) {
        int timeout_ms = LONGEST_POLL_MS;
        {
            const std::lock_guard lock(server_.mutex_);
            const std::uint64_t now = now_us();
            // What the device answered before it left the bus (the request
            // that released its 8051, or the restart's) reaches the guest even
            // when the loop wakes late, after the leaving too.
            if (const auto leaving = instrument().next_event_us(); leaving && *leaving <= now) {
                complete_due(*leaving);
            }
            follow_presence(now);
            complete_due(now);
            if (const auto next = next_due_us()) {
                const double wait_us = *next > now ? static_cast<double>(*next - now) / server_.speed_ : 0;
                timeout_ms = std::min(LONGEST_POLL_MS, static_cast<int>(wait_us / 1000));
            }
        }
        if (!flush()) {
            break;
        }
        pollfd readable{fd_, POLLIN, 0};
        const int ready = poll(&readable, 1, timeout_ms);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0) {
            const std::lock_guard lock(server_.mutex_);
            if ((readable.revents & (POLLERR | POLLHUP)) != 0 && (readable.revents & POLLIN) == 0) {
                closed_ = true;
                break;
            }
            if (usbredirparser_do_read(parser_) == usbredirparser_read_io_error) {
                closed_ = true;
            }
        }
    }
    const std::lock_guard lock(server_.mutex_);
    server_.figures_.thread_cpu_seconds += static_cast<double>(thread_cpu_us() - cpu_at_start) / 1e6;
}

// ---- the server ----

UsbredirInstrumentServer::UsbredirInstrumentServer(std::unique_ptr<sim::Instrument> instrument,
                                                   std::string socket_path, double speed)
    : instrument_(std::move(instrument)), socket_path_(std::move(socket_path)), speed_(speed) {
    instrument_->plug_in();
}

UsbredirInstrumentServer::~UsbredirInstrumentServer() {
    stop();
}

bool UsbredirInstrumentServer::start() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path_.size() >= sizeof address.sun_path) {
        error_ = "socket path too long: " + socket_path_;
        return false;
    }
    std::memcpy(address.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
    unlink(socket_path_.c_str());
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 ||
        bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 1) != 0) {
        error_ = std::string("cannot listen on ") + socket_path_ + ": " + std::strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

void UsbredirInstrumentServer::stop() {
    stopping_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        unlink(socket_path_.c_str());
    }
}

void UsbredirInstrumentServer::serve() {
    while (!stopping_.load()) {
        pollfd incoming{listen_fd_, POLLIN, 0};
        if (poll(&incoming, 1, LONGEST_POLL_MS * 5) <= 0) {
            continue;
        }
        const FdCloser connection{accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)};
        if (connection.fd < 0) {
            continue;
        }
        Session session(*this, connection.fd);
        session.run();
    }
}

void UsbredirInstrumentServer::with_instrument(
    const std::function<void(sim::Instrument&)>& inspect) {
    const std::lock_guard lock(mutex_);
    inspect(*instrument_);
}

ServerFigures UsbredirInstrumentServer::figures() {
    const std::lock_guard lock(mutex_);
    return figures_;
}

}  // namespace kernel_bed
