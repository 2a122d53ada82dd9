// The flash core as the host reaches it: command frames on 0x02, reply frames
// on 0x86, after the core has been uploaded.
#include <vector>

#include "sim_fixture.h"

namespace {

using sim_test::le32;

constexpr std::uint32_t IDENTIFY = 0x01000000;
constexpr std::uint32_t UPDATE_END_A = 0x02000000;
constexpr std::uint32_t UPDATE_BEGIN = 0x03000000;
constexpr std::uint32_t UPDATE_END_B = 0x04000000;
constexpr std::uint32_t SELECT = 0x05000000;
constexpr std::uint32_t WRITE = 0x10000000;
constexpr std::uint32_t ERASE = 0x20000000;
constexpr std::uint32_t READ = 0x30000000;
constexpr std::uint32_t MODE_READ = 0xF0000000;
constexpr std::uint32_t MODE_UPDATE = 0xF0000005;

class FlashCoreTest : public sim_test::SimTest {
  protected:
    UsbDevice* running(sim::InstrumentConfig instrument_config) {
        sim::Instrument& instrument = attach(std::move(instrument_config));
        instrument_ = &instrument;
        UsbDevice* device = open(instrument);
        EXPECT_NE(device, nullptr);
        EXPECT_TRUE(upload_flash_core(device));
        return device;
    }
    UsbDevice* running() { return running(config()); }

    sim::Instrument* instrument_ = nullptr;
};

TEST_F(FlashCoreTest, IdentifiesTheSelectedDeviceWithItsCapacityCode) {
    auto instrument_config = config();
    instrument_config.capacity_codes = {0x18, 0x17};
    UsbDevice* device = running(instrument_config);

    EXPECT_EQ(identify(device, 0), 0x18);
    EXPECT_EQ(identify(device, 1), 0x17);
    command(device, IDENTIFY);
    const auto id = reply(device);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(*id, (std::vector<std::uint8_t>{0x20, 0x20, 0x17, 0x00}));
}

TEST_F(FlashCoreTest, ReadRepliesCarryTheFlashFromTheAddress) {
    UsbDevice* device = running();
    const auto& bitstream = images_.bitstream;  // device 0 at 0x6C0000

    command(device, SELECT);
    command(device, READ | 0x6C0000);
    const auto first = reply(device);
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(first->size(), 1024U);
    EXPECT_TRUE(std::equal(first->begin(), first->end(), bitstream.begin()));

    instrument_->set_read_reply_bytes(300);  // whole words: 300
    command(device, READ | (0x6C0000 + 1024));
    const auto second = reply(device);
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(second->size(), 300U);
    EXPECT_TRUE(std::equal(second->begin(), second->end(), bitstream.begin() + 1024));
}

// A reply goes out in packets of 512 bytes and a short one; one that fills
// whole packets is followed by a zero-length packet. Each read gets one packet.
TEST_F(FlashCoreTest, RepliesArriveInPacketsEndedByAShortOrZeroLengthOne) {
    UsbDevice* device = running();
    const auto reads_of_reply = [&](std::uint32_t payload_bytes) {
        instrument_->set_read_reply_bytes(payload_bytes);
        command(device, READ | 0x6C0000);
        std::vector<int> reads;
        int transferred = 0;
        while (usb_bulk_read(device, PIPE_BULK_IN, receive_buffer_, 512, &transferred, 10) ==
               USB_OK) {
            reads.push_back(transferred);
        }
        return reads;
    };
    EXPECT_EQ(reads_of_reply(1024), (std::vector<int>{512, 512, 16}));
    EXPECT_EQ(reads_of_reply(496), (std::vector<int>{512, 0}));
    EXPECT_EQ(reads_of_reply(100), (std::vector<int>{116}));
}

TEST_F(FlashCoreTest, ReadRepliesNeverPassTheDeviceEnd) {
    UsbDevice* device = running();
    command(device, READ | (sim::NorFlash::SIZE - 8));
    const auto tail = reply(device);
    ASSERT_TRUE(tail.has_value());
    EXPECT_EQ(tail->size(), 8U);
}

TEST_F(FlashCoreTest, EraseAndProgramFollowNorRulesInsideAnUpdate) {
    UsbDevice* device = running();
    command(device, MODE_UPDATE);
    command(device, SELECT | 1);
    command(device, UPDATE_BEGIN);

    command(device, ERASE | 0x100010);  // the sector holding the firmware's start
    ASSERT_TRUE(reply(device).has_value());
    EXPECT_EQ(instrument_->flash(1).at(0x100000), 0xFF);
    EXPECT_EQ(instrument_->flash(1).at(0x13FFFF), 0xFF);
    EXPECT_EQ(instrument_->flash(1).at(0), images_.factory_firmware[0]);

    std::vector<std::uint8_t> page(256);
    for (std::size_t i = 0; i < page.size(); ++i) {
        page[i] = static_cast<std::uint8_t>(0xF0 | (i & 0x0F));
    }
    command(device, WRITE | 0x100100, page);
    const auto acknowledged = reply(device);
    ASSERT_TRUE(acknowledged.has_value());
    EXPECT_EQ(le32(*acknowledged), WRITE | 0x100100);

    std::vector<std::uint8_t> again(256, 0x3F);
    command(device, WRITE | 0x100100, again);
    ASSERT_TRUE(reply(device).has_value());
    EXPECT_EQ(instrument_->flash(1).at(0x100100), 0x30);  // 0xF0 & 0x3F
    EXPECT_EQ(instrument_->flash(1).at(0x10010F), 0x3F);  // 0xFF & 0x3F
    EXPECT_EQ(instrument_->flash(1).at(0x100200), 0xFF);
    write(device, [] {
        auto pair = sim::make_command_frame(UPDATE_END_A);
        const auto second = sim::make_command_frame(UPDATE_END_B);
        pair.insert(pair.end(), second.begin(), second.end());
        return pair;
    }());
    EXPECT_FALSE(instrument_->flash_core().updating());
}

TEST_F(FlashCoreTest, EraseUsesSixtyFourKilobyteSectorsBelowCapacity24) {
    auto instrument_config = config();
    instrument_config.capacity_codes = {0x17, 0x18};
    UsbDevice* device = running(instrument_config);
    const std::vector<std::uint8_t> zero{0x00};
    instrument_->flash(0).load(0x6BFFFF, zero);
    instrument_->flash(0).load(0x6D0000, zero);
    command(device, MODE_UPDATE);
    command(device, UPDATE_BEGIN);
    command(device, ERASE | 0x6C0000);
    ASSERT_TRUE(reply(device).has_value());
    EXPECT_EQ(instrument_->flash(0).at(0x6C0000 + 4999), 0xFF);
    EXPECT_EQ(instrument_->flash(0).at(0x6CFFFF), 0xFF);
    EXPECT_EQ(instrument_->flash(0).at(0x6BFFFF), 0x00);
    EXPECT_EQ(instrument_->flash(0).at(0x6D0000), 0x00);
}

TEST_F(FlashCoreTest, EraseAndProgramOutsideAnUpdateAreAnsweredButChangeNothing) {
    UsbDevice* device = running();
    const std::vector<std::uint8_t> zeros(256, 0);
    // Outside UPDATE_BEGIN in the update mode, and inside one in the read mode.
    for (const bool begun : {false, true}) {
        command(device, begun ? MODE_READ : MODE_UPDATE);
        if (begun) {
            command(device, UPDATE_BEGIN);
        }
        command(device, ERASE | 0);
        ASSERT_TRUE(reply(device).has_value());
        command(device, WRITE | 0xFC0000, zeros);
        ASSERT_TRUE(reply(device).has_value());
        EXPECT_EQ(instrument_->flash(0).at(4), images_.factory_bitstream[4]);
        EXPECT_EQ(instrument_->flash(0).at(0xFC0000), images_.configuration_sequence[0]);
    }
}

TEST_F(FlashCoreTest, ReadsAreAnsweredOnlyInTheReadMode) {
    UsbDevice* device = running();
    command(device, MODE_UPDATE);
    command(device, READ | 0x6C0000);
    EXPECT_FALSE(reply(device).has_value());
    command(device, IDENTIFY);
    EXPECT_TRUE(reply(device).has_value()) << "identification works in any mode";
    command(device, MODE_READ);
    command(device, READ | 0x6C0000);
    EXPECT_TRUE(reply(device).has_value());
}

// An erase or page program takes its time; power lost in the middle leaves
// the part not yet reached as it was, and a command queued behind it undone.
TEST_F(FlashCoreTest, PowerLostDuringAnEraseLeavesItPartlyDoneAndWhatFollowedUndone) {
    UsbDevice* device = running(config(sim::Timing::realistic()));
    sim::NorFlash& flash = instrument_->flash(1);  // 256 KiB sectors
    flash.load(0x100000, std::vector<std::uint8_t>(0x40000, 0x5A));
    command(device, MODE_UPDATE);
    command(device, SELECT | 1);
    command(device, UPDATE_BEGIN);
    command(device, ERASE | 0x100000);
    command(device, WRITE | 0x100000, std::vector<std::uint8_t>(256, 0x00));
    // Halfway through the erase.
    clock_.advance_us(instrument_->timing().sector_erase_256k_us / 2);
    {
        auto lock = backend_.lock();
        instrument_->lose_power(clock_.now_us());
    }
    EXPECT_EQ(flash.at(0x100000), 0xFF) << "erased, and the page behind it never written";
    EXPECT_EQ(flash.at(0x10FFFF), 0xFF);
    EXPECT_EQ(flash.at(0x130000), 0x5A) << "not reached: as it was";
    EXPECT_EQ(flash.at(0x13FFFF), 0x5A);
}

TEST_F(FlashCoreTest, FramesSplitAtEveryByteBoundaryAreParsed) {
    UsbDevice* device = running();
    const auto frame = sim::make_command_frame(READ | 0x6C0000);
    for (std::size_t split = 1; split < frame.size(); ++split) {
        EXPECT_EQ(write(device, std::span(frame).first(split)), static_cast<int>(split));
        EXPECT_FALSE(reply(device).has_value())
            << "no reply before the frame is whole, split " << split;
        write(device, std::span(frame).subspan(split));
        const auto payload = reply(device);
        ASSERT_TRUE(payload.has_value()) << "split " << split;
        EXPECT_EQ((*payload)[4], images_.bitstream[4]);
    }
}

TEST_F(FlashCoreTest, PackedFramesAndBytesBetweenThemAreHandledInOrder) {
    UsbDevice* device = running();
    std::vector<std::uint8_t> packed{0x00, 0x47, 0x5A, 0x13};  // noise the magic search skips
    for (const std::uint32_t word : {SELECT | 1, IDENTIFY, SELECT, IDENTIFY}) {
        const auto frame = sim::make_command_frame(word);
        packed.insert(packed.end(), frame.begin(), frame.end());
    }
    write(device, packed);
    ASSERT_EQ(instrument_->flash_core().frames_executed(), 4U);
    const auto first = reply(device);
    const auto second = reply(device);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->size(), 4U);
    EXPECT_EQ(second->size(), 4U);
    EXPECT_FALSE(reply(device).has_value());
}

TEST_F(FlashCoreTest, FramesTheCoreCannotHoldAreSkipped) {
    UsbDevice* device = running();
    std::vector<std::uint8_t> oversized = sim::make_frame(std::vector<std::uint8_t>(66 * 4, 0));
    write(device, oversized);
    EXPECT_EQ(instrument_->flash_core().frames_executed(), 0U);
    command(device, IDENTIFY);
    EXPECT_TRUE(reply(device).has_value());
}

TEST_F(FlashCoreTest, HaltingTheFpgaTakesTheCoreAway) {
    UsbDevice* device = running();
    control_in(device, VREQ_FPGA_CONFIG, 0, FPGA_CONFIG_HALT, 16);
    EXPECT_EQ(instrument_->fpga().state(), sim::Fpga::State::halted);
    EXPECT_EQ(command(device, IDENTIFY), USB_ERR_TIMEOUT) << "nothing takes the OUT data";
    EXPECT_FALSE(reply(device).has_value());
}

}  // namespace
