// Restart (198 then 197) and power loss: leaving the bus, coming back after
// the modelled delays, and what survives.
#include <vector>

#include "sim_fixture.h"

namespace {

class RestartTest : public sim_test::SimTest {
  protected:
    void restart(UsbDevice* device) {
        control_in(device, VREQ_FPGA_CONFIG, 0, FPGA_CONFIG_HALT, 16);
        control_out(device, VREQ_BUS_TRANSFER, 0x0134, 0xDB);
        control_out(device, VREQ_BUS_TRANSFER, 0x0135, 0xDB);
        control_out(device, VREQ_RESTART_1, 0, 0);
        control_out(device, VREQ_RESTART_2, 0, 0);
    }
    bool listed(const sim::Instrument& instrument) {
        const auto paths = listed_paths();
        return std::find(paths.begin(), paths.end(), instrument.path()) != paths.end();
    }
};

TEST_F(RestartTest, LeavesAfterTheLeaveDelayAndComesBackAfterTheReturnDelay) {
    sim::Instrument& instrument = attach(config(sim::Timing::realistic()));
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    const std::string path = instrument.path();
    restart(device);
    const std::uint64_t restarted = now_us();

    clock_.advance_to_us(restarted + 499'000);
    EXPECT_TRUE(listed(instrument));
    clock_.advance_to_us(restarted + 500'000);
    EXPECT_FALSE(listed(instrument));
    clock_.advance_to_us(restarted + 3'499'000);
    EXPECT_FALSE(listed(instrument));
    clock_.advance_to_us(restarted + 3'500'000);
    EXPECT_TRUE(listed(instrument));
    EXPECT_EQ(instrument.path(), path) << "the same port, the same path";
}

TEST_F(RestartTest, AHandleFromBeforeTheRestartIsDead) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    restart(device);
    clock_.advance_us(10'000);
    EXPECT_TRUE(listed(instrument));
    EXPECT_TRUE(control_in(device, VREQ_FPGA_STATUS, 0, 0, 16).empty());
    UsbDevice* reopened = open(instrument);
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(control_in(reopened, VREQ_FPGA_STATUS, 0, 0, 16).size(), 16U);
}

TEST_F(RestartTest, OnlyTheRequestPairRestarts) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    control_out(device, VREQ_RESTART_2, 0, 0);  // without 198 first
    clock_.advance_us(1'000'000);
    EXPECT_EQ(instrument.session(), 1U);
    EXPECT_TRUE(listed(instrument));
}

TEST_F(RestartTest, VolatileStateIsRebuiltAndTheNewBootImageRuns) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(upload_flash_core(device));
    command(device, 0x03000000);  // an update begun
    control_in(device, VREQ_BUS_ACCESS, 1, 0, 1);
    std::vector<std::uint8_t> header(images_.usb_firmware.begin(),
                                     images_.usb_firmware.begin() + 8);
    header[5] = 0x99;  // a new device id
    ASSERT_EQ(control_out(device, VREQ_BUS_TRANSFER, 0x0651, 0, header), USB_OK);
    EXPECT_EQ(instrument.identity().device_id, sim::SYNTHETIC_DEVICE_ID) << "not before a restart";

    control_out(device, VREQ_RESTART_1, 0, 0);
    control_out(device, VREQ_RESTART_2, 0, 0);
    clock_.advance_us(10'000);
    backend_.settle();

    EXPECT_EQ(instrument.fpga().state(), sim::Fpga::State::halted);
    EXPECT_FALSE(instrument.flash_core().updating());
    EXPECT_FALSE(instrument.eeprom_access_open());
    EXPECT_EQ(instrument.identity().device_id, (sim::SYNTHETIC_DEVICE_ID & 0xFF00) | 0x99);
    EXPECT_EQ(instrument.flash(0).at(0), images_.factory_bitstream[0]);
}

TEST_F(RestartTest, AnInvalidBootImageComesBackWithoutTheInstrumentInterface) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    control_in(device, VREQ_BUS_ACCESS, 1, 0, 1);
    ASSERT_EQ(control_out(device, VREQ_BUS_TRANSFER, 0x0651, 0, {0xFF}), USB_OK);
    control_out(device, VREQ_RESTART_1, 0, 0);
    control_out(device, VREQ_RESTART_2, 0, 0);
    clock_.advance_us(1'000'000);
    backend_.settle();
    EXPECT_TRUE(instrument.present());
    EXPECT_EQ(instrument.identity().vendor_id, sim::CONTROLLER_DEFAULT_VENDOR_ID);
    EXPECT_FALSE(listed(instrument));
    EXPECT_EQ(open(instrument), nullptr);
}

TEST_F(RestartTest, FaultsKeepTheDeviceFromLeavingOrFromComingBack) {
    sim::Instrument& stays = attach();
    stays.faults().restart_does_not_leave = true;
    sim::Instrument& gone = attach();
    gone.faults().restart_does_not_come_back = true;
    restart(open(stays));
    restart(open(gone));
    clock_.advance_us(60'000'000);
    EXPECT_TRUE(listed(stays));
    EXPECT_FALSE(listed(gone));

    gone.faults().restart_does_not_come_back = false;
    EXPECT_TRUE(listed(gone)) << "back once the fault is cleared";
    restart(open(gone));
    gone.faults().restart_does_not_come_back = true;
    clock_.advance_us(60'000'000);
    EXPECT_FALSE(listed(gone));
    gone.plug_in();
    EXPECT_TRUE(listed(gone)) << "or when plugged in again";
}

TEST_F(RestartTest, PowerLossKeepsOnlyFlashEepromAndStoredValues) {
    auto instrument_config = config(sim::Timing::realistic());
    sim::Instrument& instrument = attach(instrument_config);
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(upload_flash_core(device));
    const auto stored = instrument.supply(1).stored(0x21, 0);
    control_out(device, VREQ_BUS_TRANSFER, 0x0135, 0x21, {0x42, 0x0A});

    // A read left waiting for a reply that never comes, then power goes at the
    // next transfer.
    EXPECT_FALSE(reply(device).has_value());
    ASSERT_EQ(device->in_pipes[0].read_pending, 1);
    instrument.faults().power_loss_at_transfer = instrument.transfers().size();
    EXPECT_TRUE(control_in(device, VREQ_FPGA_STATUS, 0, 0, 16).empty());
    const std::uint64_t lost = now_us();

    EXPECT_FALSE(instrument.present());
    EXPECT_FALSE(listed(instrument));
    int transferred = 0;
    EXPECT_EQ(usb_bulk_read(device, PIPE_BULK_IN, receive_buffer_, 512, &transferred, 10),
              USB_ERR_INCOMPLETE)
        << "the pending read failed with the power";
    EXPECT_EQ(instrument.transfers().back().status, sim::TransferStatus::failed);
    EXPECT_EQ(instrument.supply(1).working(0x21, 0), stored);
    EXPECT_EQ(instrument.fpga().state(), sim::Fpga::State::halted);

    clock_.advance_to_us(lost + 3'000'000);
    EXPECT_TRUE(listed(instrument));
    EXPECT_EQ(instrument.device_number(), 1);
    EXPECT_EQ(instrument.flash(1).at(0x100000), images_.firmware[0]);
    EXPECT_EQ(instrument.eeprom().bytes()[0], 0xC2);
}

}  // namespace
