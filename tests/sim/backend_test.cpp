// The SimBackend as the host's USB stack: discovery, opening, descriptors,
// pending reads, aborts, and the transfer record.
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

class BackendTest : public sim_test::SimTest {};

TEST_F(BackendTest, ListsInstrumentsInAttachOrderAndOnlyForTheirClass) {
    sim::Instrument& first = attach();
    auto second_config = config();
    second_config.path = "custom-path";
    sim::Instrument& second = attach(second_config);
    EXPECT_EQ(listed_paths(), (std::vector<std::string>{first.path(), "custom-path"}));
    EXPECT_NE(first.path().find("sim-port-1"), std::string::npos);

    std::vector<std::string> other;
    backend_.list_interfaces(Guid{}, other);
    EXPECT_TRUE(other.empty());
    EXPECT_NE(open(second), nullptr);
}

TEST_F(BackendTest, ADeviceHeldOpenElsewhereIsListedButCannotBeOpened) {
    sim::Instrument& instrument = attach();
    backend_.set_held_open(instrument, true);
    EXPECT_EQ(listed_paths().size(), 1U);
    UsbDevice probe;
    std::string path = instrument.path();
    probe.path = path.data();
    EXPECT_EQ(usb_open_device(&probe, 1), -2);  // refused as a claimed interface is
    backend_.set_held_open(instrument, false);
    EXPECT_EQ(usb_open_device(&probe, 1), 0);
    EXPECT_EQ(backend_.open_handle_count(), 1U);
    usb_close_device(&probe);
    EXPECT_EQ(backend_.open_handle_count(), 0U);
}

TEST_F(BackendTest, DetachingKillsOpenHandlesAndAttachingAgainBringsItBack) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    std::unique_ptr<sim::Instrument> unplugged = backend_.detach(instrument);
    ASSERT_NE(unplugged, nullptr);
    EXPECT_TRUE(listed_paths().empty());
    EXPECT_TRUE(control_in(device, VREQ_FPGA_STATUS, 0, 0, 16).empty());
    int transferred = 0;
    EXPECT_EQ(usb_bulk_read(device, PIPE_BULK_IN, receive_buffer_, 512, &transferred, 10),
              USB_ERR_FAILED);

    sim::Instrument& back = backend_.attach(std::move(unplugged));
    EXPECT_EQ(listed_paths(), std::vector<std::string>{back.path()});
    EXPECT_NE(open(back), nullptr);
}

TEST_F(BackendTest, OddDescriptorsReachTheHostAsGiven) {
    auto instrument_config = config();
    instrument_config.usb.serial = std::string(40, 'S');
    const std::vector<sim::EndpointSpec> endpoints{
        {0x02, 2, 512}, {0x86, 2, 512}, {0x83, 1, 1024}, {0x81, 3, 64}};
    instrument_config.usb.configuration_descriptor = sim::make_configuration_descriptor(endpoints);
    sim::Instrument& instrument = attach(instrument_config);
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(std::string(device->serial_number), std::string(32, 'S'));
    EXPECT_EQ(device->in_pipe_count, 2) << "the isochronous endpoint does not count";
    EXPECT_EQ(device->in_pipes[1].endpoint_address, 0x81);
    EXPECT_EQ(device->in_pipes[1].bulk, 0);

    const auto descriptor = instrument.descriptor(DESCRIPTOR_TYPE_CONFIGURATION, 0);
    ASSERT_TRUE(descriptor.has_value());
    EXPECT_EQ(descriptor->size(), 9U + 9U + 4U * 7U);
    EXPECT_EQ((*descriptor)[13], 4);
}

TEST_F(BackendTest, AConfigurationShorterThanItsEndpointCountIsDeliveredShort) {
    auto instrument_config = config();
    instrument_config.usb.serial = "";
    instrument_config.usb.configuration_descriptor =
        sim::make_configuration_descriptor(sim::instrument_endpoints(), std::uint8_t{5});
    sim::Instrument& instrument = attach(instrument_config);
    std::uint8_t buffer[4096];
    UsbDevice probe;
    std::string path = instrument.path();
    probe.path = path.data();
    ASSERT_EQ(backend_.open(probe), 0);
    EXPECT_EQ(backend_.get_descriptor(probe, DESCRIPTOR_TYPE_CONFIGURATION, 0, buffer), 32);
    EXPECT_EQ(buffer[13], 5);
    EXPECT_EQ(backend_.get_descriptor(probe, DESCRIPTOR_TYPE_STRING, 3, buffer), -1)
        << "no serial string";
    EXPECT_EQ(backend_.get_descriptor(probe, DESCRIPTOR_TYPE_DEVICE, 0, std::span(buffer, 8)),
              8);
    backend_.close(probe);
    EXPECT_EQ(probe.context, nullptr);
}

TEST_F(BackendTest, ATimedOutReadStaysInFlightAndIsCompletedByLaterData) {
    sim::Instrument& instrument = attach(config(sim::Timing::realistic()));
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(upload_flash_core(device));

    std::uint8_t first[512] = {};
    std::uint8_t second[512] = {};
    int transferred = 0;
    const std::uint64_t before = now_us();
    EXPECT_EQ(usb_bulk_read(device, PIPE_BULK_IN, first, 512, &transferred, 10), USB_ERR_TIMEOUT);
    EXPECT_EQ(now_us() - before, 10'000U) << "the wait costs exactly its timeout";

    command(device, 0x01000000);
    EXPECT_EQ(usb_bulk_read(device, PIPE_BULK_IN, second, 512, &transferred, 10), USB_OK);
    EXPECT_EQ(transferred, 20);
    EXPECT_EQ(first[16], 0x20) << "the data landed in the buffer the read began with";
    EXPECT_EQ(second[16], 0x00);
    EXPECT_EQ(instrument.transfers().back().status, sim::TransferStatus::completed);
    EXPECT_EQ(instrument.transfers().back().transferred, 20U);
}

TEST_F(BackendTest, AWriteNobodyTakesTimesOutAndIsAborted) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    const std::uint64_t before = now_us();
    EXPECT_EQ(command(device, 0x01000000), USB_ERR_TIMEOUT);
    EXPECT_EQ(now_us() - before, 260'000U) << "250 ms timeout and the 10 ms pause";
    EXPECT_EQ(instrument.transfers().back().status, sim::TransferStatus::aborted);
}

TEST_F(BackendTest, TheRecordKeepsEveryTransferInOrder) {
    sim::Instrument& instrument = attach(config(sim::Timing::realistic()));
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    const std::size_t mark = instrument.transfers().size();
    control_in(device, VREQ_BUS_TRANSFER, 0x0251, 0x3000, 22);
    control_out(device, VREQ_BUS_TRANSFER, 0x0134, 0xDB);
    const auto& records = instrument.transfers();
    ASSERT_EQ(records.size(), mark + 2);

    const sim::TransferRecord& read = records[mark];
    EXPECT_EQ(read.kind, sim::TransferKind::control);
    EXPECT_TRUE(read.in);
    EXPECT_EQ(read.setup.request_type, 0xC0);
    EXPECT_EQ(read.setup.value, 0x0251);
    EXPECT_EQ(read.setup.index, 0x3000);
    EXPECT_EQ(read.transferred, 22U);
    EXPECT_EQ(sim_test::le32(read.data, 4), 1U);
    EXPECT_EQ(records[mark + 1].setup.request_type, 0x40);
    EXPECT_EQ(records[mark + 1].status, sim::TransferStatus::completed);
    EXPECT_LT(read.start_us, records[mark + 1].start_us);
}

TEST_F(BackendTest, AWorkerThreadAndAnInspectingThreadCanShareIt) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) {
            control_in(device, VREQ_FPGA_STATUS, 0, 0, 16);
        }
    });
    std::size_t seen = 0;
    for (int i = 0; i < 200; ++i) {
        const auto lock = backend_.lock();
        seen = instrument.transfers().size();
    }
    worker.join();
    EXPECT_GE(instrument.transfers().size(), seen);
    EXPECT_GE(instrument.transfers().size(), 200U);
}

}  // namespace
