// What the flash operations send, in which order and in which frames, as the
// flash core on the instrument receives it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flash/flash_image.h"
#include "flash/flash_layout.h"
#include "flash_test_support.h"

namespace flash_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<std::uint32_t> stepping(std::uint32_t start, std::uint32_t step, std::uint32_t count) {
    std::vector<std::uint32_t> addresses;
    for (std::uint32_t i = 0; i < count; ++i) {
        addresses.push_back(start + i * step);
    }
    return addresses;
}

// The virtual time between the transfers that carried two frames.
std::uint64_t pause_between(const sim::Instrument& instrument, const sim_support::SentFrame& first,
                            const sim_support::SentFrame& second) {
    return instrument.transfers()[second.transfer].start_us -
           instrument.transfers()[first.transfer].start_us;
}

class FlashWire : public FlashTest {};

// ---- erase ----

TEST_F(FlashWire, ErasesTheConfigurationSequenceWithOneCommandBetweenTheOpeningAndClosing) {
    ASSERT_NO_FATAL_FAILURE(start());

    ASSERT_EQ(image_erase(device(), SELECTOR_CONFIGURATION_SEQUENCE, 0, 1), 0);

    EXPECT_THAT(sent(), ElementsAre(MODE_5, SELECT_0, IDENTIFY, UPDATE_BEGIN, ERASE | 0xFC0000,
                                    UPDATE_END_A, UPDATE_END_B, IDENTIFY));
    const auto sent_frames = frames();
    EXPECT_EQ(pause_between(instrument(), sent_frames[0], sent_frames[1]), 10'000U);
    EXPECT_EQ(pause_between(instrument(), sent_frames[3], sent_frames[4]), 1'000U);
    // The closing pair goes out in one 40-byte transfer.
    EXPECT_EQ(sent_frames[5].transfer, sent_frames[6].transfer);
    EXPECT_EQ(sent_frames[5].transfer_bytes, 40U);
    EXPECT_EQ(sent_frames[0].transfer_bytes, 20U);
}

TEST_F(FlashWire, ErasesFirmwareOnDeviceOneAndSelectsDeviceZeroAtTheEnd) {
    ASSERT_NO_FATAL_FAILURE(start());

    ASSERT_EQ(image_erase(device(), SELECTOR_FIRMWARE, 0, 1), 0);
    EXPECT_THAT(sent(), ElementsAre(MODE_5, SELECT_1, IDENTIFY, UPDATE_BEGIN, ERASE | 0x100000,
                                    UPDATE_END_A, UPDATE_END_B, SELECT_0, IDENTIFY));
    mark();
    ASSERT_EQ(image_erase(device(), SELECTOR_FACTORY_FIRMWARE, 0, 1), 0);
    EXPECT_THAT(sent(), ElementsAre(MODE_5, SELECT_1, IDENTIFY, UPDATE_BEGIN, ERASE | 0x000000,
                                    UPDATE_END_A, UPDATE_END_B, SELECT_0, IDENTIFY));
    EXPECT_EQ(instrument().flash_core().selected_device(), 0);
}

TEST_F(FlashWire, ErasesInQuarterMegabyteSectorsWhenTheCapacityCodeIsAbove23) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::current, 0x18)));

    ASSERT_EQ(image_erase(device(), SELECTOR_FACTORY_BITSTREAM, 0, 1), 0);
    // 1 MiB exactly: four sectors, no more.
    EXPECT_THAT(addresses_of(sent(), ERASE), ElementsAreArray(stepping(0, SECTOR_256K, 4)));
    mark();
    ASSERT_EQ(image_erase(device(), SELECTOR_BITSTREAM, 0, 1), 0);
    EXPECT_THAT(addresses_of(sent(), ERASE), ElementsAreArray(stepping(0x6C0000, SECTOR_256K, 5)));
}

TEST_F(FlashWire, ErasesInSixtyFourKilobyteSectorsUpToCapacityCode23) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::current, 0x17)));

    ASSERT_EQ(image_erase(device(), SELECTOR_FACTORY_BITSTREAM, 0, 1), 0);
    EXPECT_THAT(addresses_of(sent(), ERASE), ElementsAreArray(stepping(0, SECTOR_64K, 16)));
    mark();
    ASSERT_EQ(image_erase(device(), SELECTOR_BITSTREAM, 0, 1), 0);
    EXPECT_THAT(addresses_of(sent(), ERASE), ElementsAreArray(stepping(0x6C0000, SECTOR_64K, 17)));
    mark();
    ASSERT_EQ(image_erase(device(), SELECTOR_CONFIGURATION_SEQUENCE, 0, 1), 0);
    EXPECT_THAT(addresses_of(sent(), ERASE), ElementsAre(0xFC0000));
}

// ---- program ----

TEST_F(FlashWire, WritesTheConfigurationSequenceAsOnePaddedPage) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));

    ASSERT_EQ(image_program(device(), SELECTOR_CONFIGURATION_SEQUENCE, 0, 1), 0);

    EXPECT_THAT(sent(), ElementsAre(MODE_5, SELECT_0, IDENTIFY, UPDATE_BEGIN, WRITE | 0xFC0000,
                                    UPDATE_END_A, UPDATE_END_B, IDENTIFY));
    const sim_support::SentFrame page = frames()[4];
    EXPECT_EQ(page.transfer_bytes, 276U);
    const auto& frame = instrument().transfers()[page.transfer].data;
    EXPECT_THAT(std::vector<std::uint8_t>(frame.begin() + 4, frame.begin() + 8),
                ElementsAre(0x41, 0x00, 0x00, 0x00));
    EXPECT_THAT(std::vector<std::uint8_t>(frame.begin() + 16, frame.begin() + 20),
                ElementsAre(0x00, 0x00, 0xFC, 0x10));
    const auto sequence = image(SELECTOR_CONFIGURATION_SEQUENCE);
    ASSERT_EQ(sequence.size(), 208U);
    ASSERT_EQ(page.data.size(), 256U);
    EXPECT_TRUE(std::equal(sequence.begin(), sequence.end(), page.data.begin()));
    EXPECT_TRUE(std::all_of(page.data.begin() + 208, page.data.end(),
                            [](std::uint8_t byte) { return byte == 0xFF; }));
}

TEST_F(FlashWire, WritesPagesFromTheLastDownToTheRegionStart) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    const std::uint32_t firmware_length = length(SELECTOR_FIRMWARE);  // 2,100 bytes
    const std::uint32_t last = (firmware_length - 1) / 256 * 256;

    ASSERT_EQ(image_program(device(), SELECTOR_FIRMWARE, 0, 1), 0);

    std::vector<std::uint32_t> descending;
    for (std::uint32_t offset = last + 256; offset > 0; offset -= 256) {
        descending.push_back(0x100000 + offset - 256);
    }
    EXPECT_THAT(addresses_of(sent(), WRITE), ElementsAreArray(descending));
    const auto words = sent();
    EXPECT_THAT(std::vector<std::uint32_t>(words.end() - 4, words.end()),
                ElementsAre(UPDATE_END_A, UPDATE_END_B, SELECT_0, IDENTIFY));
    // The first page written holds the image's tail and 0xFF after it.
    const auto sent_frames = frames();
    const auto& first_page = sent_frames[4].data;
    const auto firmware = image(SELECTOR_FIRMWARE);
    const std::uint32_t tail = firmware_length - last;
    EXPECT_TRUE(std::equal(firmware.begin() + last, firmware.end(), first_page.begin()));
    EXPECT_TRUE(std::all_of(first_page.begin() + tail, first_page.end(),
                            [](std::uint8_t byte) { return byte == 0xFF; }));
    const auto& last_page = sent_frames[4 + descending.size() - 1].data;
    EXPECT_TRUE(std::equal(last_page.begin(), last_page.end(), firmware.begin()));
}

TEST_F(FlashWire, WritesAWholeLastPageWithoutFill) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    const auto bitstream = image(SELECTOR_FACTORY_BITSTREAM);  // 1 MiB exactly

    ASSERT_EQ(image_program(device(), SELECTOR_FACTORY_BITSTREAM, 0, 1), 0);

    const auto writes = addresses_of(sent(), WRITE);
    ASSERT_EQ(writes.size(), 4096U);
    EXPECT_EQ(writes.front(), 0x0FFF00U);
    EXPECT_EQ(writes.back(), 0U);
    const sim_support::SentFrame first_page = frames()[4];
    EXPECT_TRUE(std::equal(bitstream.end() - 256, bitstream.end(), first_page.data.begin()));
}

// ---- verify ----

TEST_F(FlashWire, VerifiesWithReadsThatAdvanceByEachReplysLength) {
    ASSERT_NO_FATAL_FAILURE(start());

    ASSERT_EQ(image_verify(device(), SELECTOR_FIRMWARE, 0, 1), 1);

    // 2,100 bytes in replies of 1,024.
    EXPECT_THAT(sent(), ElementsAre(MODE_5, SELECT_1, IDENTIFY, MODE_0, READ | 0x100000,
                                    READ | 0x100400, READ | 0x100800, MODE_5, SELECT_0, IDENTIFY));
    const auto sent_frames = frames();
    EXPECT_EQ(pause_between(instrument(), sent_frames[7], sent_frames[8]), 10'000U);
    mark();
    ASSERT_EQ(image_verify(device(), SELECTOR_CONFIGURATION_SEQUENCE, 0, 1), 1);
    EXPECT_THAT(sent(),
                ElementsAre(MODE_5, SELECT_0, IDENTIFY, MODE_0, READ | 0xFC0000, MODE_5, IDENTIFY));
}

TEST_F(FlashWire, NeverLeavesAPartOfACommandFrameUnsent) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));

    ASSERT_EQ(image_erase(device(), SELECTOR_FACTORY_FIRMWARE, 0, 1), 0);
    ASSERT_EQ(image_program(device(), SELECTOR_FACTORY_FIRMWARE, 0, 1), 0);
    ASSERT_EQ(image_verify(device(), SELECTOR_FACTORY_FIRMWARE, 0, 1), 1);

    for (const sim::TransferRecord* record : sim().transfers_since(mark_)) {
        if (record->kind == sim::TransferKind::bulk && !record->in) {
            EXPECT_EQ(record->transferred, record->requested);
            EXPECT_TRUE(record->requested == 20 || record->requested == 40 ||
                        record->requested == 276)
                << record->requested;
        }
    }
    EXPECT_FALSE(instrument().flash_core().updating());
}

// ---- the layout behind the selectors ----

TEST(FlashLayout, DecodesTheSelectorBits) {
    EXPECT_EQ(flash_region(5).flash_device, 1);  // bit 2 ignored on device 1
    EXPECT_EQ(flash_region(5).start, 0x100000U);
    EXPECT_EQ(flash_region(7).image_id, IMAGE_FACTORY_FIRMWARE);
    EXPECT_EQ(flash_region(6).start, 0xFC0000U);  // bit 1 ignored with bit 2 on device 0
    EXPECT_EQ(flash_region(6).image_id, IMAGE_CONFIGURATION_SEQUENCE);
    for (int selector = 0; selector < 5; ++selector) {
        EXPECT_EQ(flash_region(selector).flash_device, region_of(selector).device);
        EXPECT_EQ(flash_region(selector).start, region_of(selector).start);
    }
}

}  // namespace
}  // namespace flash_test
