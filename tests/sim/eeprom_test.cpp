// The boot EEPROM behind request 176 at bus address 0x51, and the identity the
// controller takes from it.
#include <vector>

#include "sim_fixture.h"

namespace {

class EepromTest : public sim_test::SimTest {
  protected:
    void SetUp() override {
        auto instrument_config = config();
        instrument_config.device_number = 4711;
        instrument_ = &attach(instrument_config);
        device_ = open(*instrument_);
        ASSERT_NE(device_, nullptr);
    }

    int write_chunk(int address, std::vector<std::uint8_t> data) {
        return control_out(device_, VREQ_BUS_TRANSFER, 0x0651, address, std::move(data));
    }
    std::vector<std::uint8_t> read(int address, int length) {
        return control_in(device_, VREQ_BUS_TRANSFER, 0x0251, address, length);
    }

    sim::Instrument* instrument_ = nullptr;
    UsbDevice* device_ = nullptr;
};

TEST_F(EepromTest, TheIdentificationBlockCarriesTheDeviceNumber) {
    const auto block = read(0x3000, 22);
    ASSERT_EQ(block.size(), 22U);
    EXPECT_EQ(sim_test::le32(block, 4), 4711U);
    EXPECT_EQ(instrument_->device_number(), 4711);
}

TEST_F(EepromTest, HoldsTheBootImageWithItsDeviceId) {
    const auto id = read(5, 2);
    ASSERT_EQ(id.size(), 2U);
    EXPECT_EQ(id[0], images_.usb_firmware[5]);
    EXPECT_EQ(id[1], images_.usb_firmware[6]);
    const auto all = read(0, static_cast<int>(images_.usb_firmware.size()));
    EXPECT_EQ(all, images_.usb_firmware);
}

TEST_F(EepromTest, WritesNeedAccessOpenedFirst) {
    EXPECT_EQ(write_chunk(0x100, std::vector<std::uint8_t>(32, 0x11)), USB_ERR_FAILED);
    EXPECT_EQ(instrument_->eeprom().bytes()[0x100], images_.usb_firmware[0x100]);

    EXPECT_EQ(control_in(device_, VREQ_BUS_ACCESS, 1, 0, 1).size(), 1U);
    EXPECT_TRUE(instrument_->eeprom_access_open());
    EXPECT_EQ(write_chunk(0x100, std::vector<std::uint8_t>(32, 0x11)), USB_OK);
    EXPECT_EQ(read(0x100, 32), std::vector<std::uint8_t>(32, 0x11));

    control_in(device_, VREQ_BUS_ACCESS, 0, 0, 1);
    EXPECT_EQ(write_chunk(0x100, std::vector<std::uint8_t>(32, 0x22)), USB_ERR_FAILED);
}

TEST_F(EepromTest, AccessesBeyondTheEndAreBounded) {
    control_in(device_, VREQ_BUS_ACCESS, 1, 0, 1);
    EXPECT_EQ(read(0x3FF0, 2048).size(), 16U) << "a read stops at the end";
    EXPECT_TRUE(read(0x4000, 16).empty());
    EXPECT_EQ(write_chunk(0x4000, std::vector<std::uint8_t>(32, 0)), USB_ERR_FAILED);
}

// The part's page buffer: a write that crosses a 32-byte page boundary wraps
// to the page's start; of a longer write only the last 32 bytes remain.
TEST_F(EepromTest, WritesWrapWithinTheirPage) {
    control_in(device_, VREQ_BUS_ACCESS, 1, 0, 1);
    std::vector<std::uint8_t> counting(48);
    for (std::size_t i = 0; i < counting.size(); ++i) {
        counting[i] = static_cast<std::uint8_t>(i);
    }
    ASSERT_EQ(write_chunk(0x1010, {counting.begin(), counting.begin() + 32}), 0);
    const auto page = read(0x1000, 48);
    ASSERT_EQ(page.size(), 48U);
    EXPECT_EQ(page[0x10], 0);
    EXPECT_EQ(page[0x1F], 15);
    EXPECT_EQ(page[0x00], 16) << "past the page's end: back to its start";
    EXPECT_EQ(page[0x0F], 31);
    EXPECT_EQ(page[0x20], 0xFF) << "the next page untouched";

    ASSERT_EQ(write_chunk(0x2000, counting), 0);
    const auto longer = read(0x2000, 64);
    EXPECT_EQ(longer[0], 32) << "bytes 32 to 47 overwrote the page's first 16";
    EXPECT_EQ(longer[16], 16);
    EXPECT_EQ(longer[32], 0xFF);
}

// Only vendor requests to the device, with exactly as many data bytes as
// wLength announces.
TEST_F(EepromTest, RequestsOfAnotherTypeOrLengthAreStalled) {
    control_in(device_, VREQ_BUS_ACCESS, 1, 0, 1);
    UsbSetupPacket setup;
    setup.request_type = 0x41;  // vendor, to the interface
    setup.request = VREQ_BUS_TRANSFER;
    setup.value = 0x0651;
    setup.index = 0x0100;
    const std::uint8_t before = read(0x0100, 1).at(0);
    std::vector<std::uint8_t> data(32, static_cast<std::uint8_t>(~before));
    setup.length = 32;
    EXPECT_EQ(backend_.control_transfer(*device_, setup, data), CONTROL_REQUEST_FAILED);
    setup.request_type = 0x40;
    setup.length = 16;  // fewer than the data stage carries
    EXPECT_EQ(backend_.control_transfer(*device_, setup, data), CONTROL_REQUEST_FAILED);
    EXPECT_EQ(read(0x0100, 1).at(0), before) << "neither was carried out";
    setup.length = 32;
    EXPECT_EQ(backend_.control_transfer(*device_, setup, data), 32);
    EXPECT_EQ(read(0x0100, 1).at(0), static_cast<std::uint8_t>(~before));
}

TEST_F(EepromTest, OtherBusAddressesAndKindsAreNotAcknowledged) {
    EXPECT_TRUE(control_in(device_, VREQ_BUS_TRANSFER, 0x0250, 0, 4).empty());
    EXPECT_TRUE(control_in(device_, VREQ_BUS_TRANSFER, 0x0651, 0, 4).empty());
    EXPECT_TRUE(control_in(device_, 0x99, 0, 0, 4).empty()) << "unknown request stalls";
}

TEST_F(EepromTest, DescriptorsCarryTheBootImageIdentity) {
    EXPECT_EQ(device_->vendor_id, sim::SYNTHETIC_VENDOR_ID);
    EXPECT_EQ(device_->product_id, sim::SYNTHETIC_PRODUCT_ID);
    EXPECT_STREQ(device_->serial_number, "OX00004711");
    EXPECT_EQ(device_->out_pipe_count, 1);
    EXPECT_EQ(device_->in_pipe_count, 1);
    EXPECT_EQ(device_->out_pipes[0].endpoint_address, 0x02);
    EXPECT_EQ(device_->in_pipes[0].endpoint_address, 0x86);
    EXPECT_EQ(device_->in_pipes[0].max_packet_size, 512);
}

}  // namespace
