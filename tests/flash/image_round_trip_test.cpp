// Erase, program and verify of every region, end to end against the
// simulated flash: the flash holds exactly the image afterwards and nothing
// outside the erased span changes.
#include <gtest/gtest.h>

#include "flash/flash_image.h"
#include "flash_test_support.h"

namespace flash_test {
namespace {

std::uint32_t erased_span(std::uint32_t length, std::uint32_t sector) {
    return (length + sector - 1) / sector * sector;
}

class RoundTrip : public FlashTest, public ::testing::WithParamInterface<int> {};

TEST_P(RoundTrip, WritesTheImageIntoABlankInstrument) {
    const int selector = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));

    EXPECT_EQ(image_erase(device(), selector, 10, 20), 0);
    EXPECT_EQ(image_program(device(), selector, 20, 30), 0);
    EXPECT_EQ(image_verify(device(), selector, 30, 40), 1);

    const Region region = region_of(selector);
    const auto expected = image(selector);
    const auto flash = instrument().flash(region.device).bytes();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin() + region.start));
    const auto is_erased = [](std::uint8_t byte) { return byte == 0xFF; };
    EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + region.start, is_erased));
    EXPECT_TRUE(
        std::all_of(flash.begin() + region.start + length(selector), flash.end(), is_erased));
    EXPECT_TRUE(std::all_of(instrument().flash(1 - region.device).bytes().begin(),
                            instrument().flash(1 - region.device).bytes().end(), is_erased));
    EXPECT_EQ(instrument().flash_core().selected_device(), 0);
}

TEST_P(RoundTrip, ABlankRegionDoesNotVerify) {
    const int selector = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    EXPECT_EQ(image_verify(device(), selector, 0, 1), 0);
}

TEST_P(RoundTrip, ProgrammingWithoutAnEraseOnlyClearsBits) {
    const int selector = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::older)));
    const auto older = region_bytes(selector);

    ASSERT_EQ(image_program(device(), selector, 0, 1), 0);
    EXPECT_EQ(image_verify(device(), selector, 0, 1), 0);

    const auto written = region_bytes(selector);
    const auto wanted = image(selector);
    for (std::size_t i = 0; i < written.size(); ++i) {
        ASSERT_EQ(written[i], older[i] & wanted[i]) << "at " << i;
    }
    ASSERT_EQ(image_erase(device(), selector, 0, 1), 0);
    ASSERT_EQ(image_program(device(), selector, 0, 1), 0);
    EXPECT_EQ(image_verify(device(), selector, 0, 1), 1);
}

INSTANTIATE_TEST_SUITE_P(EverySelector, RoundTrip, ::testing::Range(0, 5));

struct SectorCase {
    int selector;
    std::uint8_t capacity_code;
};

class RoundTripInAFullFlash : public FlashTest, public ::testing::WithParamInterface<SectorCase> {};

TEST_P(RoundTripInAFullFlash, LeavesEverythingOutsideTheErasedSpanAsItWas) {
    const auto [selector, capacity_code] = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank, capacity_code)));
    fill_with_pattern(instrument().flash(0), 0x00);
    fill_with_pattern(instrument().flash(1), 0x5A);
    const std::vector<std::uint8_t> before[2] = {
        {instrument().flash(0).bytes().begin(), instrument().flash(0).bytes().end()},
        {instrument().flash(1).bytes().begin(), instrument().flash(1).bytes().end()}};

    ASSERT_EQ(image_erase(device(), selector, 0, 1), 0);
    ASSERT_EQ(image_program(device(), selector, 0, 1), 0);
    ASSERT_EQ(image_verify(device(), selector, 0, 1), 1);

    const Region region = region_of(selector);
    const std::uint32_t sector = capacity_code > 23 ? SECTOR_256K : SECTOR_64K;
    const std::uint32_t end = region.start + length(selector);
    const std::uint32_t erased_end = region.start + erased_span(length(selector), sector);
    std::vector<std::uint8_t> expected = before[region.device];
    const auto wanted = image(selector);
    std::copy(wanted.begin(), wanted.end(), expected.begin() + region.start);
    std::fill(expected.begin() + end, expected.begin() + erased_end, std::uint8_t{0xFF});
    const auto after = instrument().flash(region.device).bytes();
    const auto difference = std::mismatch(after.begin(), after.end(), expected.begin());
    EXPECT_EQ(difference.first, after.end())
        << "first difference at 0x" << std::hex << (difference.first - after.begin());
    const auto other = instrument().flash(1 - region.device).bytes();
    EXPECT_TRUE(std::equal(other.begin(), other.end(), before[1 - region.device].begin()));
}

INSTANTIATE_TEST_SUITE_P(EverySelectorAndSectorSize, RoundTripInAFullFlash,
                         ::testing::Values(SectorCase{0, 0x18}, SectorCase{1, 0x18},
                                           SectorCase{2, 0x18}, SectorCase{3, 0x18},
                                           SectorCase{4, 0x18}, SectorCase{0, 0x17},
                                           SectorCase{1, 0x17}, SectorCase{2, 0x17},
                                           SectorCase{3, 0x17}, SectorCase{4, 0x17}));

}  // namespace
}  // namespace flash_test
