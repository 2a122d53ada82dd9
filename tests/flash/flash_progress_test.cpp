// How the flash operations move the two bars: the current-task bar over the
// image, the overall bar over the span the worker gives each operation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flash/flash_image.h"
#include "flash/flash_layout.h"
#include "flash_test_support.h"

namespace flash_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class FlashProgress : public FlashTest {};

TEST_F(FlashProgress, EraseMovesTheOverallBarOncePerSector) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::uint32_t bitstream_length = length(SELECTOR_BITSTREAM);  // five sectors

    ASSERT_EQ(image_erase(device(), SELECTOR_BITSTREAM, 40, 60), 0);

    std::vector<std::uint32_t> expected{40};
    for (std::uint32_t sector = 1; sector <= 5; ++sector) {
        expected.push_back(40 + 20 * sector * SECTOR_256K / bitstream_length);
    }
    EXPECT_THAT(overall_bar(), ElementsAreArray(expected));
    EXPECT_GT(overall_bar().back(), 60U);     // the last sector reaches past the image
    EXPECT_THAT(task_bar(), ElementsAre(0));  // every sector answered at once
}

TEST_F(FlashProgress, ErasingTheConfigurationSequenceRunsFarPastTheOverallEnd) {
    ASSERT_NO_FATAL_FAILURE(start());

    ASSERT_EQ(image_erase(device(), SELECTOR_CONFIGURATION_SEQUENCE, 10, 10), 0);
    EXPECT_THAT(overall_bar(), ElementsAre(10, 10 + 1260));
    mark();
    sim().forget_window();
    ASSERT_EQ(image_erase(device(), SELECTOR_CONFIGURATION_SEQUENCE, 10, 4), 0);
    EXPECT_THAT(overall_bar(), ElementsAre(10, 10 + 1260));
}

TEST_F(FlashProgress, EraseShowsTheTimeSpentOnTheCurrentSector) {
    auto options = with_flash(sim::Contents::current);
    options.instrument.timing.sector_erase_256k_us = 905'000;
    ASSERT_NO_FATAL_FAILURE(start(options));

    ASSERT_EQ(image_erase(device(), SELECTOR_FIRMWARE, 0, 1), 0);

    // 0.9 s of erase: 90 or 91 empty 10 ms polls before the reply.
    const auto task = task_bar();
    ASSERT_GE(task.size(), 1U + 90U);
    ASSERT_LE(task.size(), 1U + 91U);
    for (std::size_t poll = 0; poll + 1 < task.size(); ++poll) {
        EXPECT_EQ(task[poll + 1], poll * 128 / 250);
    }
}

TEST_F(FlashProgress, ProgramMovesBothBarsWithTheBytesInPlace) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    const std::uint32_t firmware_length = length(SELECTOR_FIRMWARE);  // 2,100: 52 in the last page

    ASSERT_EQ(image_program(device(), SELECTOR_FIRMWARE, 20, 30), 0);

    std::vector<std::uint32_t> task{0};
    std::vector<std::uint32_t> overall{20};
    for (std::uint32_t done = 52; done <= firmware_length; done += 256) {
        task.push_back(done * 128 / firmware_length);
        overall.push_back(20 + 10 * done / firmware_length);
    }
    EXPECT_THAT(task_bar(), ElementsAreArray(task));
    EXPECT_THAT(overall_bar(), ElementsAreArray(overall));
    EXPECT_EQ(task_bar().back(), 128U);
    EXPECT_EQ(overall_bar().back(), 30U);
}

TEST_F(FlashProgress, ProgrammingTheConfigurationSequenceFillsBothBarsWithItsOnlyPage) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    ASSERT_EQ(image_program(device(), SELECTOR_CONFIGURATION_SEQUENCE, 5, 9), 0);
    EXPECT_THAT(task_bar(), ElementsAre(0, 128));
    EXPECT_THAT(overall_bar(), ElementsAre(5, 9));
}

TEST_F(FlashProgress, VerifyMovesBothBarsOncePerReply) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::uint32_t firmware_length = length(SELECTOR_FIRMWARE);

    ASSERT_EQ(image_verify(device(), SELECTOR_FIRMWARE, 20, 30), 1);

    EXPECT_THAT(task_bar(),
                ElementsAre(0, 1024 * 128 / firmware_length, 2048 * 128 / firmware_length, 128));
    EXPECT_THAT(overall_bar(), ElementsAre(20, 20 + 10 * 1024 / firmware_length,
                                           20 + 10 * 2048 / firmware_length, 30));
}

TEST_F(FlashProgress, VerifyWithoutASpanEndsOneAboveItsStart) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_EQ(image_verify(device(), SELECTOR_CONFIGURATION_SEQUENCE, 128, 128), 1);
    EXPECT_THAT(overall_bar(), ElementsAre(128, 129));
    EXPECT_EQ(task_bar().back(), 128U);
}

}  // namespace
}  // namespace flash_test
