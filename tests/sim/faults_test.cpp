// Every fault switch, seen from the host's side.
#include <algorithm>
#include <vector>

#include "sim_fixture.h"

namespace {

constexpr std::uint32_t IDENTIFY = 0x01000000;
constexpr std::uint32_t UPDATE_BEGIN = 0x03000000;
constexpr std::uint32_t WRITE = 0x10000000;
constexpr std::uint32_t READ = 0x30000000;

class FaultsTest : public sim_test::SimTest {
  protected:
    void SetUp() override {
        instrument_ = &attach(config(sim::Timing::realistic()));
        device_ = open(*instrument_);
        ASSERT_NE(device_, nullptr);
        ASSERT_TRUE(upload_flash_core(device_));
    }
    sim::Faults& faults() { return instrument_->faults(); }
    int replies_to(std::uint32_t word, int timeout_ms = 10) {
        command(device_, word);
        int count = 0;
        while (reply(device_, timeout_ms)) {
            ++count;
        }
        return count;
    }

    sim::Instrument* instrument_ = nullptr;
    UsbDevice* device_ = nullptr;
};

TEST(Trigger, SkipsThenFiresItsCount) {
    sim::Rng rng;
    sim::Trigger trigger = sim::Trigger::count(2, 1);
    std::vector<bool> fired;
    for (int i = 0; i < 5; ++i) {
        fired.push_back(trigger.fire(rng));
    }
    EXPECT_EQ(fired, (std::vector<bool>{false, true, true, false, false}));
    sim::Trigger off;
    EXPECT_FALSE(off.fire(rng));
}

TEST(Trigger, RandomFaultsRepeatWithTheSameSeed) {
    const auto run = [](std::uint64_t seed) {
        sim::Rng rng(seed);
        sim::Trigger trigger = sim::Trigger::randomly(0.5);
        std::vector<bool> fired;
        for (int i = 0; i < 64; ++i) {
            fired.push_back(trigger.fire(rng));
        }
        return fired;
    };
    EXPECT_EQ(run(7), run(7));
    EXPECT_NE(run(7), run(8));
    const auto fired = run(7);
    const auto count = std::count(fired.begin(), fired.end(), true);
    EXPECT_GT(count, 16);
    EXPECT_LT(count, 48);
}

TEST_F(FaultsTest, ADroppedReplyNeverComes) {
    faults().drop_reply = sim::Trigger::once();
    EXPECT_EQ(replies_to(IDENTIFY, 500), 0);
    EXPECT_EQ(replies_to(IDENTIFY), 1);
}

TEST_F(FaultsTest, ADelayedReplyComesAfterTheTimeout) {
    faults().delay_reply = sim::Trigger::once();
    command(device_, IDENTIFY);
    EXPECT_FALSE(reply(device_, 500).has_value());
    clock_.advance_us(100'000);
    EXPECT_TRUE(reply(device_, 10).has_value()) << "the late reply is still collected";
}

TEST_F(FaultsTest, ADuplicatedReplyComesTwice) {
    faults().duplicate_reply = sim::Trigger::once();
    EXPECT_EQ(replies_to(IDENTIFY), 2);
}

TEST_F(FaultsTest, AStaleReplyComesBeforeTheAnswer) {
    command(device_, READ | 0x6C0000);
    ASSERT_TRUE(reply(device_).has_value());
    faults().stale_reply = sim::Trigger::once();
    command(device_, IDENTIFY);
    const auto stale = reply(device_);
    const auto answer = reply(device_);
    ASSERT_TRUE(stale && answer);
    EXPECT_EQ(stale->size(), 1024U) << "the earlier read reply again";
    EXPECT_EQ(answer->size(), 4U);
}

TEST_F(FaultsTest, GarbageBetweenFramesIsSkippedByAFrameSearch) {
    faults().garbage_before_reply = sim::Trigger::always();
    faults().garbage_length = 9;
    EXPECT_EQ(replies_to(IDENTIFY), 1);
    EXPECT_EQ(replies_to(IDENTIFY), 1);
    EXPECT_EQ(reader_.skipped(), 18U);
}

TEST_F(FaultsTest, ReadsCanBeCutToAnyLength) {
    faults().max_bytes_per_read = 7;
    command(device_, READ | 0x6C0000);
    int transferred = 0;
    int reads = 0;
    std::size_t total = 0;
    while (usb_bulk_read(device_, PIPE_BULK_IN, receive_buffer_, 512, &transferred, 10) == USB_OK) {
        EXPECT_LE(transferred, 7);
        total += static_cast<std::size_t>(transferred);
        reader_.feed(std::span(receive_buffer_, static_cast<std::size_t>(transferred)));
        ++reads;
    }
    EXPECT_EQ(total, 16U + 1024U);
    // The frame's packets (512, 512, 16 bytes), each cut into reads of 7.
    EXPECT_EQ(reads, 2 * ((512 + 6) / 7) + (16 + 6) / 7);
    EXPECT_TRUE(reader_.next().has_value());
}

TEST_F(FaultsTest, APartialWriteTakesOnlyPartOfTheFrame) {
    faults().partial_write = sim::Trigger::once();
    faults().partial_write_bytes = 12;
    const auto frame = sim::make_command_frame(IDENTIFY);
    EXPECT_EQ(write(device_, frame), 12);
    EXPECT_FALSE(reply(device_).has_value());
    EXPECT_EQ(write(device_, std::span(frame).subspan(12)), 8) << "the rest of the same frame";
    EXPECT_TRUE(reply(device_).has_value());
}

TEST_F(FaultsTest, ControlRequestsFailOrComeShortByRequestNumber) {
    faults().control_fail[VREQ_FPGA_STATUS] = sim::Trigger::once();
    EXPECT_TRUE(control_in(device_, VREQ_FPGA_STATUS, 0, 0, 16).empty());
    EXPECT_EQ(control_in(device_, VREQ_FPGA_STATUS, 0, 0, 16).size(), 16U);

    faults().control_short[VREQ_BUS_TRANSFER] = sim::Trigger::count(2);
    EXPECT_EQ(control_in(device_, VREQ_BUS_TRANSFER, 0x0934, 0x9D, 7).size(), 6U);
    control_in(device_, VREQ_BUS_ACCESS, 1, 0, 1);
    EXPECT_EQ(control_out(device_, VREQ_BUS_TRANSFER, 0x0651, 0x200, {1, 2, 3}), USB_ERR_FAILED);
    EXPECT_EQ(instrument_->eeprom().bytes()[0x200], 0xFF) << "a cut write is not carried out";
}

TEST_F(FaultsTest, EepromWritesInTheRangeAreNotAcknowledged) {
    faults().eeprom_write_nack = sim::AddressRange{0x40, 0x40};
    control_in(device_, VREQ_BUS_ACCESS, 1, 0, 1);
    EXPECT_EQ(control_out(device_, VREQ_BUS_TRANSFER, 0x0651, 0x20, std::vector<std::uint8_t>(32)),
              USB_OK);
    EXPECT_EQ(control_out(device_, VREQ_BUS_TRANSFER, 0x0651, 0x21, std::vector<std::uint8_t>(32)),
              USB_ERR_FAILED);
}

TEST_F(FaultsTest, EepromReadsOfACorruptedAddressComeBackWrong) {
    faults().eeprom_read_corruption[6] = 0x5A;
    const auto bytes = control_in(device_, VREQ_BUS_TRANSFER, 0x0251, 5, 2);
    ASSERT_EQ(bytes.size(), 2U);
    EXPECT_EQ(bytes[0], images_.usb_firmware[5]);
    EXPECT_EQ(bytes[1], 0x5A);
    EXPECT_EQ(instrument_->eeprom().bytes()[6], images_.usb_firmware[6]) << "storage is intact";
}

TEST_F(FaultsTest, PmbusCommandsAreNotAcknowledgedByCode) {
    faults().pmbus_nack[0x9D] = sim::Trigger::always();
    EXPECT_TRUE(control_in(device_, VREQ_BUS_TRANSFER, 0x0934, 0x9D, 7).empty());
    EXPECT_EQ(control_in(device_, VREQ_BUS_TRANSFER, 0x0934, 0x9B, 1).size(), 1U);
    faults().pmbus_nack[0x21] = sim::Trigger::once();
    EXPECT_EQ(control_out(device_, VREQ_BUS_TRANSFER, 0x0134, 0x21, {1, 2}), USB_ERR_FAILED);
    EXPECT_EQ(control_out(device_, VREQ_BUS_TRANSFER, 0x0134, 0x21, {1, 2}), USB_OK);
}

TEST_F(FaultsTest, AStuckBitCannotBeCleared) {
    faults().stuck_bits.push_back({1, 0x100005, 0x01});
    command(device_, 0xF0000005);
    command(device_, 0x05000001);
    command(device_, UPDATE_BEGIN);
    command(device_, 0x20000000 | 0x100000);
    ASSERT_TRUE(reply(device_, 2000).has_value());
    command(device_, WRITE | 0x100000, std::vector<std::uint8_t>(256, 0x00));
    ASSERT_TRUE(reply(device_).has_value());
    EXPECT_EQ(instrument_->flash(1).at(0x100004), 0x00);
    EXPECT_EQ(instrument_->flash(1).at(0x100005), 0x01);
    EXPECT_EQ(instrument_->flash(0).at(0x100005), 0xFF) << "only on its own device";
}

}  // namespace
