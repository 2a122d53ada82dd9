// The device contract, once, against every backend: discovery and opening,
// the direction rules of control requests, pipe lookup, the pending read, the
// aborted write, and closing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "device/usb.h"
#include "sim/sim.h"
#include "support/usb_contract_harness.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t FLASH_IDENTIFY = 0x01000000;
constexpr int EEPROM_READ = 0x0251;
constexpr int EEPROM_WRITE = 0x0651;

class UsbContract : public testing::TestWithParam<UsbContractBackend> {
protected:
    void SetUp() override {
        harness_ = GetParam().make();
        clock_install(&harness_->clock());
        usb_install_backend(&harness_->backend_under_test());
    }

    void TearDown() override {
        for (UsbDevice* device : opened_) {
            usb_close_device(device);
        }
        usb_free_device_list(list_);
        usb_install_backend(nullptr);
        clock_install(nullptr);
    }

    sim::Instrument& attach(sim::InstrumentConfig config = instrument_config()) {
        return harness_->bus().attach(std::move(config), images_.set());
    }

    static sim::InstrumentConfig instrument_config() {
        sim::InstrumentConfig config;
        config.timing = sim::Timing::instant();
        return config;
    }

    // Lists the instruments and opens the first, with pipes.
    UsbDevice* open_first() {
        const char* guid = INSTRUMENT_INTERFACE_GUID;
        usb_find_devices(&guid, 1, &list_);
        if (list_ == nullptr || usb_open_device(list_, 1) != 0) {
            return nullptr;
        }
        opened_.push_back(list_);
        return list_;
    }

    int write(UsbDevice* device, const Bytes& bytes, int timeout_ms = 250, int pipe = PIPE_BULK_OUT) {
        int transferred = -1;
        const int result = usb_bulk_write(device, pipe, bytes.data(), static_cast<int>(bytes.size()),
                                          &transferred, timeout_ms);
        return result != USB_OK ? result : transferred;
    }

    // Loads the flash core so that the instrument answers on pipe 0x86.
    void run_flash_core(UsbDevice* device) {
        const Bytes stream = sim::flash_core_upload_stream(images_.flash_core);
        const std::uint32_t words = sim::flash_core_word_count(images_.flash_core);
        std::uint8_t reply[16] = {};
        int length = 16;
        usb_control_transfer(device, 0, VREQ_FPGA_CONFIG, static_cast<int>(words & 0xFFFF),
                             static_cast<int>(words >> 16), &length, reply);
        for (std::size_t at = 0; at < stream.size(); at += 4096) {
            const std::size_t chunk = std::min<std::size_t>(4096, stream.size() - at);
            ASSERT_EQ(write(device, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                          stream.begin() + static_cast<std::ptrdiff_t>(at + chunk)),
                            1000),
                      static_cast<int>(chunk));
        }
        for (int poll = 0; poll < 20 && (reply[2] & 0x12) != 0x12; ++poll) {
            length = 16;
            usb_control_transfer(device, 0, VREQ_FPGA_STATUS, 0, 0, &length, reply);
        }
        ASSERT_EQ(reply[2] & 0x12, 0x12) << "the flash core did not start";
    }

    std::unique_ptr<UsbContractHarness> harness_;
    sim::SyntheticImages images_;
    UsbDevice* list_ = nullptr;
    std::vector<UsbDevice*> opened_;
};

TEST_P(UsbContract, NoInstrumentListsNothingAndPrintsNothing) {
    testing::internal::CaptureStdout();
    const char* guid = INSTRUMENT_INTERFACE_GUID;
    UsbDevice* list = reinterpret_cast<UsbDevice*>(0x1);
    EXPECT_EQ(usb_find_devices(&guid, 1, &list), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_P(UsbContract, BadGuidTextIsPrintedAndSkipped) {
    attach();
    testing::internal::CaptureStdout();
    const char* guids[] = {"{bad}", INSTRUMENT_INTERFACE_GUID};
    EXPECT_EQ(usb_find_devices(guids, 2, &list_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "_parse_guid returned -3 on GUID {bad}\n");
    ASSERT_NE(list_, nullptr);
    EXPECT_EQ(list_->guid_index, 1);
    EXPECT_EQ(list_->next, nullptr);
}

TEST_P(UsbContract, ListedEntriesAreClosedAndOpeningBuildsOnePipeEachWay) {
    sim::Instrument& instrument = attach();
    const char* guid = INSTRUMENT_INTERFACE_GUID;
    ASSERT_EQ(usb_find_devices(&guid, 1, &list_), 0);
    ASSERT_NE(list_, nullptr);
    EXPECT_EQ(std::string(list_->path), instrument.path());
    EXPECT_EQ(list_->context, nullptr);
    EXPECT_EQ(list_->out_pipes, nullptr);
    EXPECT_EQ(list_->in_pipes, nullptr);

    ASSERT_EQ(usb_open_device(list_, 1), 0);
    opened_.push_back(list_);
    ASSERT_EQ(list_->out_pipe_count, 1);
    ASSERT_EQ(list_->in_pipe_count, 1);
    EXPECT_EQ(list_->out_pipes[0].endpoint_address, 0x02);
    EXPECT_EQ(list_->in_pipes[0].endpoint_address, 0x86);
    EXPECT_EQ(list_->out_pipes[0].bulk, 1);
    EXPECT_EQ(list_->in_pipes[0].max_packet_size, 512);
    EXPECT_EQ(list_->in_pipes[0].read_pending, 0);

    EXPECT_EQ(usb_close_device(list_), 0);
    EXPECT_EQ(list_->context, nullptr);
    EXPECT_EQ(list_->in_pipes, nullptr);
    EXPECT_EQ(usb_close_device(list_), 0);  // closing twice is harmless
    EXPECT_EQ(usb_close_device(nullptr), -1);
    opened_.clear();
}

TEST_P(UsbContract, DeviceHeldOpenElsewhereIsNotListed) {
    sim::Instrument& instrument = attach();
    harness_->bus().set_held_open(instrument, true);
    const char* guid = INSTRUMENT_INTERFACE_GUID;
    usb_find_devices(&guid, 1, &list_);
    EXPECT_EQ(list_, nullptr);
}

TEST_P(UsbContract, SerialNumberIsCutToThirtyTwoCharacters) {
    sim::InstrumentConfig config = instrument_config();
    config.usb.serial = std::string(40, 'S');
    attach(config);
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(std::string(device->serial_number), std::string(32, 'S'));
}

TEST_P(UsbContract, OnlyBulkAndInterruptEndpointsWithinTheDescriptorCount) {
    sim::InstrumentConfig config = instrument_config();
    const std::vector<sim::EndpointSpec> endpoints = {
        {0x02, 2, 512}, {0x81, 1, 1024}, {0x86, 2, 512}, {0x83, 3, 64}};
    config.usb.configuration_descriptor = sim::make_configuration_descriptor(endpoints);
    attach(config);
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->out_pipe_count, 1);
    ASSERT_EQ(device->in_pipe_count, 2);  // the isochronous 0x81 is not a pipe
    EXPECT_EQ(device->in_pipes[0].endpoint_address, 0x86);
    EXPECT_EQ(device->in_pipes[1].endpoint_address, 0x83);
    EXPECT_EQ(device->in_pipes[1].bulk, 0);
}

TEST_P(UsbContract, ConfigurationShorterThanItsEndpointCountClaims) {
    sim::InstrumentConfig config = instrument_config();
    const std::vector<sim::EndpointSpec> endpoints = {{0x02, 2, 512}, {0x86, 2, 512}};
    config.usb.configuration_descriptor = sim::make_configuration_descriptor(endpoints, 9);
    attach(config);
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->out_pipe_count, 1);
    EXPECT_EQ(device->in_pipe_count, 1);
}

// Descriptors that cannot be read end the opening with -3 (device descriptor
// not 18 bytes) or -4 (configuration descriptor empty), with nothing of the
// device left open.
TEST_P(UsbContract, UnreadableDescriptorsRefuseTheOpenAndLeaveNothingOpen) {
    if (GetParam().name == "libusb") {
        GTEST_SKIP() << "libusb takes the device descriptor from sysfs, always 18 bytes";
    }
    struct Case {
        bool short_device_descriptor;
        int result;
    };
    for (const Case& item : {Case{true, -3}, Case{false, -4}}) {
        SCOPED_TRACE(item.result);
        sim::InstrumentConfig config = instrument_config();
        if (item.short_device_descriptor) {
            std::vector<std::uint8_t> device = sim::make_device_descriptor(
                sim::BootIdentity{true, sim::SYNTHETIC_VENDOR_ID, sim::SYNTHETIC_PRODUCT_ID,
                                  sim::SYNTHETIC_DEVICE_ID},
                true);
            device.pop_back();
            config.usb.device_descriptor = device;
        } else {
            config.usb.configuration_descriptor = std::vector<std::uint8_t>{};
        }
        sim::Instrument& instrument = attach(config);
        Guid instrument_class;
        ASSERT_EQ(_parse_guid(INSTRUMENT_INTERFACE_GUID, &instrument_class), 0);
        std::vector<std::string> paths;
        harness_->backend_under_test().list_interfaces(instrument_class, paths);
        ASSERT_EQ(paths.size(), 1U);
        UsbDevice device;
        device.path = paths[0].data();

        EXPECT_EQ(usb_open_device(&device, 1), item.result);

        EXPECT_EQ(device.context, nullptr);
        EXPECT_EQ(device.out_pipes, nullptr);
        EXPECT_EQ(device.in_pipes, nullptr);
        EXPECT_EQ(harness_->bus().open_handle_count(), 0U);
        harness_->bus().detach(instrument);
    }
}

TEST_P(UsbContract, ControlInFailureReportsZeroBytesButSucceeds) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    instrument.faults().control_fail[VREQ_FPGA_STATUS] = sim::Trigger::once();
    std::uint8_t reply[16];
    int length = 16;
    EXPECT_EQ(usb_control_transfer(device, 0, VREQ_FPGA_STATUS, 0, 0, &length, reply), USB_OK);
    EXPECT_EQ(length, 0);
    length = 16;
    EXPECT_EQ(usb_control_transfer(device, 0, VREQ_FPGA_STATUS, 0, 0, &length, reply), USB_OK);
    EXPECT_EQ(length, 16);
}

TEST_P(UsbContract, ControlOutMustMoveEveryByte) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    Bytes data(32, 0x5A);
    std::uint8_t access = 0;
    int length = 1;
    usb_control_transfer(device, 0, VREQ_BUS_ACCESS, 1, 0, &length, &access);
    length = 32;
    instrument.faults().control_short[VREQ_BUS_TRANSFER] = sim::Trigger::once();
    EXPECT_EQ(usb_control_transfer(device, 1, VREQ_BUS_TRANSFER, EEPROM_WRITE, 0x100, &length,
                                   data.data()),
              USB_ERR_FAILED);
    EXPECT_EQ(length, 32);  // left unchanged

    // A request without data that the instrument rejects fails too: a lost
    // supply command must not pass for one carried out.
    instrument.faults().control_fail[VREQ_BUS_TRANSFER] = sim::Trigger::once();
    EXPECT_EQ(usb_control_transfer(device, 1, VREQ_BUS_TRANSFER, 0x0134, 0xDB, nullptr, nullptr),
              USB_ERR_FAILED);
    EXPECT_EQ(usb_control_transfer(device, 1, VREQ_BUS_TRANSFER, 0x0134, 0xDB, nullptr, nullptr),
              USB_OK);

    EXPECT_EQ(usb_control_transfer(device, 1, VREQ_BUS_TRANSFER, EEPROM_WRITE, 0x100, &length,
                                   data.data()),
              USB_OK);
    Bytes back(32, 0);
    length = 32;
    usb_control_transfer(device, 0, VREQ_BUS_TRANSFER, EEPROM_READ, 0x100, &length, back.data());
    EXPECT_EQ(length, 32);
    EXPECT_EQ(back, data);
}

TEST_P(UsbContract, SetupPacketCarriesTheLowSixteenBits) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    std::uint8_t reply[16];
    int length = 16;
    usb_control_transfer(device, 0, VREQ_FPGA_CONFIG, 0x14FBE, 0x10009, &length, reply);
    auto lock = harness_->bus().lock();
    const sim::TransferRecord& last = instrument.transfers().back();
    EXPECT_EQ(last.setup.request_type, 0xC0);
    EXPECT_EQ(last.setup.request, VREQ_FPGA_CONFIG);
    EXPECT_EQ(last.setup.value, 0x4FBE);
    EXPECT_EQ(last.setup.index, 0x0009);
    EXPECT_EQ(last.setup.length, 16);
}

TEST_P(UsbContract, PipeLookupByAddressAndByIndex) {
    attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    std::uint8_t buffer[512];
    int transferred = -1;
    EXPECT_EQ(usb_bulk_read(device, 0x82, buffer, 512, &transferred, 10), USB_ERR_NO_PIPE);
    EXPECT_EQ(transferred, 0);
    EXPECT_EQ(usb_bulk_read(device, -1, buffer, 512, &transferred, 10), USB_ERR_NO_PIPE);
    EXPECT_EQ(usb_bulk_write(device, 0x86, buffer, 20, &transferred, 10), USB_ERR_NO_PIPE);
    // Index 0 is the first (only) IN pipe: nothing queued, so the read times out.
    EXPECT_EQ(usb_bulk_read(device, 0, buffer, 512, &transferred, 10), USB_ERR_TIMEOUT);
    EXPECT_EQ(usb_bulk_read(nullptr, 0x86, buffer, 512, &transferred, 10), USB_ERR_FAILED);
}

TEST_P(UsbContract, DeviceWithoutPipesOfADirectionHasNoTable) {
    sim::InstrumentConfig config = instrument_config();
    const std::vector<sim::EndpointSpec> endpoints = {{0x02, 2, 512}};
    config.usb.configuration_descriptor = sim::make_configuration_descriptor(endpoints);
    attach(config);
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->in_pipes, nullptr);
    std::uint8_t buffer[512];
    int transferred = 0;
    EXPECT_EQ(usb_bulk_read(device, 0x86, buffer, 512, &transferred, 10), USB_ERR_FAILED);
    EXPECT_EQ(usb_bulk_read(device, 0, buffer, 512, &transferred, 10), USB_ERR_FAILED);
}

TEST_P(UsbContract, TimedOutReadIsCollectedIntoItsOwnBufferByTheNextRead) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    run_flash_core(device);
    {
        auto lock = harness_->bus().lock();
        instrument.faults().delay_reply = sim::Trigger::once();
        instrument.faults().reply_delay_us = 50'000;
    }
    ASSERT_EQ(write(device, sim::make_command_frame(FLASH_IDENTIFY)), 20);

    std::uint8_t first[512] = {};
    std::uint8_t second[512] = {};
    int transferred = -1;
    EXPECT_EQ(usb_bulk_read(device, 0x86, first, 512, &transferred, 10), USB_ERR_TIMEOUT);
    EXPECT_EQ(transferred, 0);
    EXPECT_EQ(device->in_pipes[0].read_pending, 1);
    // The read stays in flight; the next read waits for it instead of starting one.
    EXPECT_EQ(usb_bulk_read(device, 0x86, second, 512, &transferred, 100), USB_OK);
    EXPECT_EQ(device->in_pipes[0].read_pending, 0);
    ASSERT_EQ(transferred, 20);
    EXPECT_EQ(first[0], 0x47);
    EXPECT_EQ(first[16], 0x20);
    EXPECT_EQ(first[18], 0x18);
    EXPECT_EQ(second[0], 0);
}

TEST_P(UsbContract, TimedOutWriteIsAbortedAndTheNextStartsAfresh) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    // A halted FPGA takes nothing from the OUT pipe.
    const std::uint64_t before_us = harness_->clock().now_us();
    EXPECT_EQ(write(device, Bytes(64, 0xFF), 100), USB_ERR_TIMEOUT);
    // The timeout, then the pause after the abort: not cut short by more than
    // the bus clock can tell.
    EXPECT_GE(harness_->clock().now_us() - before_us + harness_->clock_resolution_us(), 110'000U);
    {
        auto lock = harness_->bus().lock();
        EXPECT_EQ(instrument.transfers().back().status, sim::TransferStatus::aborted);
    }
    run_flash_core(device);
    EXPECT_EQ(write(device, sim::make_command_frame(FLASH_IDENTIFY)), 20);
}

TEST_P(UsbContract, PartialWriteReportsTheBytesTaken) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    run_flash_core(device);
    {
        auto lock = harness_->bus().lock();
        instrument.faults().partial_write = sim::Trigger::once();
        instrument.faults().partial_write_bytes = 7;
    }
    EXPECT_EQ(write(device, sim::make_command_frame(FLASH_IDENTIFY)), 7);
}

TEST_P(UsbContract, ClosingAbortsTheReadInFlight) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    std::uint8_t buffer[512];
    int transferred = 0;
    ASSERT_EQ(usb_bulk_read(device, 0x86, buffer, 512, &transferred, 10), USB_ERR_TIMEOUT);
    ASSERT_EQ(usb_close_device(device), 0);
    opened_.clear();
    auto lock = harness_->bus().lock();
    EXPECT_EQ(instrument.transfers().back().status, sim::TransferStatus::aborted);
}

TEST_P(UsbContract, RemovalDuringARead) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    std::uint8_t buffer[512];
    int transferred = 0;
    ASSERT_EQ(usb_bulk_read(device, 0x86, buffer, 512, &transferred, 10), USB_ERR_TIMEOUT);
    std::unique_ptr<sim::Instrument> unplugged = harness_->bus().detach(instrument);
    const int result = usb_bulk_read(device, 0x86, buffer, 512, &transferred, 10);
    EXPECT_TRUE(result == USB_ERR_INCOMPLETE || result == USB_ERR_FAILED) << result;
    EXPECT_EQ(transferred, 0);
    int length = 16;
    EXPECT_EQ(usb_control_transfer(device, 0, VREQ_FPGA_STATUS, 0, 0, &length, buffer), USB_OK);
    EXPECT_EQ(length, 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, UsbContract, testing::ValuesIn(usb_contract_backends()),
                         [](const testing::TestParamInfo<UsbContractBackend>& backend) {
                             return backend.param.name;
                         });

}  // namespace
