// A flash that does not identify: nothing is erased, written or read, and
// every operation still sends its closing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flash/flash_image.h"
#include "flash/flash_layout.h"
#include "flash_test_support.h"

namespace flash_test {
namespace {

using ::testing::ElementsAre;

class UnidentifiedFlash : public FlashTest {};

// ---- a flash that does not identify ----

class SilentFlash : public FlashTest, public ::testing::WithParamInterface<int> {
  protected:
    void start_silent() {
        ASSERT_NO_FATAL_FAILURE(start());
        faults().drop_reply = sim::Trigger::always();
        before_ = region_bytes(GetParam());
    }
    // Nothing erased, written or read; the identification asked ten times on
    // opening and ten times on closing.
    void expect_untouched(const std::vector<std::uint32_t>& words) {
        EXPECT_EQ(region_bytes(GetParam()), before_);
        EXPECT_EQ(count_of(words, IDENTIFY), 20U);
        EXPECT_TRUE(addresses_of(words, ERASE).empty());
        EXPECT_TRUE(addresses_of(words, WRITE).empty());
        EXPECT_TRUE(addresses_of(words, READ).empty());
        EXPECT_EQ(count_of(words, UPDATE_BEGIN), 0U);
        EXPECT_THAT(task_bar(), ElementsAre(0));
        EXPECT_THAT(overall_bar(), ElementsAre(7));
    }
    std::vector<std::uint32_t> closing_of(const std::vector<std::uint32_t>& words,
                                          std::size_t count) {
        return {words.end() - 10 - static_cast<std::ptrdiff_t>(count), words.end() - 10};
    }
    bool on_device_1() const { return region_of(GetParam()).device == 1; }

    std::vector<std::uint8_t> before_;
};

TEST_P(SilentFlash, EraseFailsWithMinusOneAndStillSendsTheClosing) {
    ASSERT_NO_FATAL_FAILURE(start_silent());
    EXPECT_EQ(image_erase(device(), GetParam(), 7, 9), -1);
    const auto words = sent();
    expect_untouched(words);
    if (on_device_1()) {
        EXPECT_THAT(closing_of(words, 3), ElementsAre(UPDATE_END_A, UPDATE_END_B, SELECT_0));
    } else {
        EXPECT_THAT(closing_of(words, 2), ElementsAre(UPDATE_END_A, UPDATE_END_B));
    }
}

TEST_P(SilentFlash, ProgramFailsWithMinusOneAndStillSendsTheClosing) {
    ASSERT_NO_FATAL_FAILURE(start_silent());
    EXPECT_EQ(image_program(device(), GetParam(), 7, 9), -1);
    const auto words = sent();
    expect_untouched(words);
    if (on_device_1()) {
        EXPECT_THAT(closing_of(words, 3), ElementsAre(UPDATE_END_A, UPDATE_END_B, SELECT_0));
    } else {
        EXPECT_THAT(closing_of(words, 2), ElementsAre(UPDATE_END_A, UPDATE_END_B));
    }
}

TEST_P(SilentFlash, VerifyGivesZeroWithoutReadingAndStillSendsTheClosing) {
    ASSERT_NO_FATAL_FAILURE(start_silent());
    EXPECT_EQ(image_verify(device(), GetParam(), 7, 9), 0);
    const auto words = sent();
    expect_untouched(words);
    EXPECT_EQ(count_of(words, MODE_0), 0U);
    if (on_device_1()) {
        EXPECT_THAT(closing_of(words, 2), ElementsAre(MODE_5, SELECT_0));
    } else {
        EXPECT_THAT(closing_of(words, 1), ElementsAre(MODE_5));
    }
}

INSTANTIATE_TEST_SUITE_P(EverySelector, SilentFlash, ::testing::Range(0, 5));

TEST_F(UnidentifiedFlash, ACapacityCodeOfZeroCountsAsAFlashThatDoesNotAnswer) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::current, 0x00)));

    EXPECT_EQ(image_erase(device(), SELECTOR_FACTORY_BITSTREAM, 0, 1), -1);
    EXPECT_EQ(image_program(device(), SELECTOR_FACTORY_BITSTREAM, 0, 1), -1);
    EXPECT_EQ(image_verify(device(), SELECTOR_FACTORY_BITSTREAM, 0, 1), 0);

    const auto words = sent();
    EXPECT_TRUE(addresses_of(words, ERASE).empty());
    EXPECT_TRUE(addresses_of(words, WRITE).empty());
    EXPECT_TRUE(addresses_of(words, READ).empty());
    EXPECT_EQ(count_of(words, IDENTIFY), 6U);  // once on opening, once on closing
}

}  // namespace
}  // namespace flash_test
