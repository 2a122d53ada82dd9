// The verification's comparison: where a difference leaves the bars, and
// replies of whatever length the instrument chooses, whole or split over reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flash/flash_image.h"
#include "flash/flash_layout.h"
#include "flash_test_support.h"

namespace flash_test {
namespace {

using ::testing::ElementsAre;

class VerifyComparison : public FlashTest {};

// ---- the comparison ----

TEST_F(VerifyComparison, ADifferenceInTheLastByteIsFound) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::uint32_t firmware_length = length(SELECTOR_FIRMWARE);
    const std::uint8_t changed = static_cast<std::uint8_t>(~image(SELECTOR_FIRMWARE).back());
    instrument().flash(1).load(0x100000 + firmware_length - 1, {&changed, 1});

    EXPECT_EQ(image_verify(device(), SELECTOR_FIRMWARE, 0, 100), 0);

    EXPECT_EQ(task_bar().back(), (firmware_length - 1) * 128 / firmware_length);
    EXPECT_EQ(overall_bar().back(), 100 * (firmware_length - 1) / firmware_length);
}

TEST_F(VerifyComparison, ADifferenceInTheFirstByteOfAChunkLeavesTheBarWhereTheChunkBegins) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::uint32_t firmware_length = length(SELECTOR_FIRMWARE);
    const std::uint8_t changed = static_cast<std::uint8_t>(~image(SELECTOR_FIRMWARE)[1024]);
    instrument().flash(1).load(0x100000 + 1024, {&changed, 1});

    EXPECT_EQ(image_verify(device(), SELECTOR_FIRMWARE, 0, 100), 0);

    EXPECT_EQ(addresses_of(sent(), READ).size(), 2U);
    EXPECT_THAT(task_bar(),
                ElementsAre(0, 1024 * 128 / firmware_length, 1024 * 128 / firmware_length));
    EXPECT_EQ(overall_bar().back(), 100 * 1024 / firmware_length);
}

// A read brings at most max_bytes_per_read bytes, so longer replies arrive
// split over reads; at least 20, as a short reply (a whole USB packet) is
// never split on a real bus.
struct ReplyShape {
    std::uint32_t read_reply_bytes;
    std::size_t max_bytes_per_read;  // 0: whole replies
};

class ReplySizes : public FlashTest, public ::testing::WithParamInterface<ReplyShape> {};

TEST_P(ReplySizes, VerifiesWhateverLengthEachReplyCarries) {
    const ReplyShape shape = GetParam();
    auto options = with_flash(sim::Contents::current);
    options.instrument.read_reply_bytes = shape.read_reply_bytes;
    ASSERT_NO_FATAL_FAILURE(start(options));
    faults().max_bytes_per_read = shape.max_bytes_per_read;

    EXPECT_EQ(image_verify(device(), SELECTOR_FIRMWARE, 0, 1), 1);
    EXPECT_EQ(image_verify(device(), SELECTOR_CONFIGURATION_SEQUENCE, 0, 1), 1);

    const std::uint32_t firmware_length = length(SELECTOR_FIRMWARE);
    const auto reads = addresses_of(sent(), READ);
    const std::size_t firmware_reads =
        (firmware_length + shape.read_reply_bytes - 1) / shape.read_reply_bytes;
    ASSERT_GE(reads.size(), firmware_reads);
    for (std::size_t i = 0; i < firmware_reads; ++i) {
        EXPECT_EQ(reads[i], 0x100000 + i * shape.read_reply_bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(OddAndSplit, ReplySizes,
                         ::testing::Values(ReplyShape{4, 0}, ReplyShape{300, 0},
                                           // frames of whole packets: a zero-length one follows
                                           ReplyShape{496, 0}, ReplyShape{1008, 0},
                                           ReplyShape{1020, 0}, ReplyShape{4096, 0},
                                           ReplyShape{8, 21}, ReplyShape{300, 21},
                                           ReplyShape{1024, 100}, ReplyShape{4096, 511}));

TEST_F(VerifyComparison, AReplyLargerThanThePayloadBufferIsNeverTakenAsFlashData) {
    auto options = with_flash(sim::Contents::current);
    options.instrument.read_reply_bytes = 8192;
    ASSERT_NO_FATAL_FAILURE(start(options));

    EXPECT_LT(image_verify(device(), SELECTOR_CONFIGURATION_SEQUENCE, 0, 1), 1);
}

}  // namespace
}  // namespace flash_test
