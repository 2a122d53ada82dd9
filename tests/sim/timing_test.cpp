// The timing model: what each operation costs on the virtual clock.
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

TEST(VirtualClock, SleepingAdvancesAtOnce) {
    sim::VirtualClock clock(5'000);
    EXPECT_EQ(clock.now_ms(), 5U);
    clock.sleep_ms(250);
    EXPECT_EQ(clock.now_us(), 255'000U);
    clock.advance_us(1);
    clock.advance_to_us(10);  // the past changes nothing
    EXPECT_EQ(clock.now_us(), 255'001U);
}

TEST(VirtualClock, TwoThreadsMayAdvanceIt) {
    sim::VirtualClock clock;
    std::thread other([&clock] {
        for (int i = 0; i < 1000; ++i) {
            clock.advance_us(1);
        }
    });
    for (int i = 0; i < 1000; ++i) {
        clock.sleep_ms(1);
    }
    other.join();
    EXPECT_EQ(clock.now_us(), 1'001'000U);
}

TEST(Timing, BusTransfersCostARoundTripAndTheirBytes) {
    const sim::Timing timing = sim::Timing::realistic();
    EXPECT_EQ(timing.transfer_us(0), 125U);
    EXPECT_EQ(timing.transfer_us(4096), 125U + 102U);  // 4096 bytes at 40 MB/s
    EXPECT_EQ(sim::Timing::instant().transfer_us(4096), 0U);
}

class TimingTest : public sim_test::SimTest {
  protected:
    void SetUp() override {
        timing_ = sim::Timing::realistic();
        instrument_ = &attach(config(timing_));
        device_ = open(*instrument_);
        ASSERT_NE(device_, nullptr);
    }
    // Virtual time from sending a command until its reply has been read.
    std::uint64_t reply_time(std::uint32_t word, std::span<const std::uint8_t> data = {}) {
        const std::uint64_t start = now_us();
        command(device_, word, data);
        EXPECT_TRUE(reply(device_, 2000).has_value());
        return now_us() - start;
    }

    sim::Timing timing_;
    sim::Instrument* instrument_ = nullptr;
    UsbDevice* device_ = nullptr;
};

TEST_F(TimingTest, FlashOperationsTakeTheirModelledTime) {
    ASSERT_TRUE(upload_flash_core(device_));
    const std::uint64_t write_frame = timing_.transfer_us(276);
    const std::uint64_t command_frame = timing_.transfer_us(20);
    const std::uint64_t reply_read = timing_.transfer_us(20);

    EXPECT_EQ(reply_time(0x01000000), command_frame + timing_.identify_us + reply_read);
    command(device_, 0x03000000);
    EXPECT_EQ(reply_time(0x10000000, std::vector<std::uint8_t>(256, 0)),
              write_frame + timing_.page_program_us + reply_read);
    EXPECT_EQ(reply_time(0x20000000), command_frame + timing_.sector_erase_256k_us + reply_read);
    // The read reply (1040 bytes) comes in reads of 512, 512 and 16 bytes.
    EXPECT_EQ(reply_time(0x30000000), command_frame + timing_.read_reply_us +
                                          2 * timing_.transfer_us(512) + timing_.transfer_us(16));
}

TEST_F(TimingTest, SmallSectorsEraseFaster) {
    auto instrument_config = config(timing_);
    instrument_config.capacity_codes = {0x17, 0x17};
    sim::Instrument& small = attach(instrument_config);
    device_ = open(small);
    ASSERT_TRUE(upload_flash_core(device_));
    EXPECT_EQ(reply_time(0x20000000),
              timing_.transfer_us(20) + timing_.sector_erase_64k_us + timing_.transfer_us(20));
}

TEST_F(TimingTest, SerialBusRequestsTakeTheirModelledTime) {
    control_in(device_, VREQ_BUS_ACCESS, 1, 0, 1);
    std::uint64_t start = now_us();
    control_out(device_, VREQ_BUS_TRANSFER, 0x0651, 0, std::vector<std::uint8_t>(32, 0xC2));
    EXPECT_EQ(now_us() - start, timing_.transfer_us(32));

    // The write cycle runs on after the request; the next access waits it out.
    start = now_us();
    control_in(device_, VREQ_BUS_TRANSFER, 0x0251, 0, 2048);
    EXPECT_EQ(now_us() - start, timing_.eeprom_chunk_write_us + timing_.transfer_us(2048) +
                                    2048 * timing_.eeprom_byte_read_us);

    start = now_us();
    control_in(device_, VREQ_BUS_TRANSFER, 0x0934, 0x9D, 7);
    EXPECT_EQ(now_us() - start, timing_.transfer_us(7) + timing_.pmbus_transaction_us);
}

TEST_F(TimingTest, RepliesQueueBehindTheOperationBeforeThem) {
    ASSERT_TRUE(upload_flash_core(device_));
    command(device_, 0x03000000);
    const std::uint64_t start = now_us();
    command(device_, 0x20000000);  // an erase, then at once an identification
    command(device_, 0x01000000);
    EXPECT_TRUE(reply(device_, 2000).has_value());
    EXPECT_TRUE(reply(device_, 10).has_value());
    EXPECT_GE(now_us() - start, timing_.sector_erase_256k_us + timing_.identify_us);
}

}  // namespace
