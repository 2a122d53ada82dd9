// The flash operations when the instrument misbehaves: replies that do not
// come, come late or come stale, frames taken in part, reads that fail, a
// flash that does not identify.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/flash_commands.h"
#include "flash/flash_image.h"
#include "flash/flash_layout.h"
#include "flash_test_support.h"

namespace flash_test {
namespace {

using ::testing::ElementsAre;

constexpr std::uint32_t ERASE_POLLS = 501;
constexpr std::uint32_t SHORT_POLLS = 51;

// The current-task bar over one unanswered erase attempt: polls * 128 / 250.
std::vector<std::uint32_t> erase_wait_bar() {
    std::vector<std::uint32_t> positions;
    for (std::uint32_t poll = 0; poll < ERASE_POLLS; ++poll) {
        positions.push_back(poll * 128 / 250);
    }
    return positions;
}

class FlashFaults : public FlashTest {
  protected:
    // The sizes of the bulk OUT transfers after the one taken in part: the
    // frame cutter on the instrument is out of step after it, so the wire is
    // looked at transfer by transfer.
    std::vector<std::size_t> out_sizes_after_partial(std::size_t limit = 3) {
        std::vector<std::size_t> sizes;
        bool after = false;
        for (const sim::TransferRecord* record : sim().transfers_since(mark_)) {
            if (record->kind != sim::TransferKind::bulk || record->in) {
                continue;
            }
            if (after && sizes.size() < limit) {
                sizes.push_back(record->requested);
            }
            after = after || record->transferred < record->requested;
        }
        return sizes;
    }

    // Cuts the instrument's power when the next transfer after this many more
    // begins (0: the very next one).
    void lose_power_at(std::size_t transfers_ahead) {
        faults().power_loss_at_transfer = sim().transfer_mark() + transfers_ahead;
    }
};

// ---- erase ----

TEST_F(FlashFaults, AnEraseAnsweredOnTheThirdAttemptGoesOnAndTheNextSectorHasSixAgain) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    fill_with_pattern(instrument().flash(0), 0x33);
    // Replies: the identification, sector 0, then sector 1 twice unanswered.
    faults().drop_reply = sim::Trigger::count(2, 2);
    // Once sector 1 is done, sector 2 goes five times unanswered.
    bool armed = false;
    sim().window().on_progress = [&](int control, std::uint32_t position) {
        if (control == IDC_OVERALL_PROGRESS && position == 50 && !armed) {
            armed = true;
            faults().drop_reply = sim::Trigger::count(5);
        }
    };

    EXPECT_EQ(image_erase(device(), SELECTOR_FACTORY_BITSTREAM, 0, 100), 0);

    EXPECT_THAT(addresses_of(sent(), ERASE),
                ElementsAre(0, 0x40000, 0x40000, 0x40000, 0x80000, 0x80000, 0x80000, 0x80000,
                            0x80000, 0x80000, 0xC0000));
    // Every unanswered attempt fills the bar again from 0.
    std::vector<std::uint32_t> expected_task{0};
    for (int attempt = 0; attempt < 2 + 5; ++attempt) {
        const auto wait = erase_wait_bar();
        expected_task.insert(expected_task.end(), wait.begin(), wait.end());
    }
    EXPECT_EQ(task_bar(), expected_task);
    EXPECT_THAT(overall_bar(), ElementsAre(0, 25, 50, 75, 100));
    const auto erased = sim().flash_bytes(0, 0, 4 * SECTOR_256K);
    EXPECT_TRUE(
        std::all_of(erased.begin(), erased.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(FlashFaults, ASectorUnansweredSixTimesEndsTheErase) {
    ASSERT_NO_FATAL_FAILURE(start());
    faults().drop_reply = sim::Trigger::count(6, 1);  // after the identification
    const std::uint64_t begin = sim().clock().now_us();

    EXPECT_EQ(image_erase(device(), SELECTOR_FIRMWARE, 3, 9), -2);

    const auto words = sent();
    EXPECT_THAT(addresses_of(words, ERASE),
                ElementsAre(0x100000, 0x100000, 0x100000, 0x100000, 0x100000, 0x100000));
    EXPECT_THAT(std::vector<std::uint32_t>(words.end() - 4, words.end()),
                ElementsAre(UPDATE_END_A, UPDATE_END_B, SELECT_0, IDENTIFY));
    // Six attempts of 501 empty 10 ms polls.
    EXPECT_GE(sim().clock().now_us() - begin, 6ULL * ERASE_POLLS * 10'000);
    EXPECT_EQ(task_bar().size(), 1U + 6U * ERASE_POLLS);
    EXPECT_EQ(task_bar().back(), 500U * 128 / 250);  // as the last empty poll left it
    EXPECT_THAT(overall_bar(), ElementsAre(3));
}

TEST_F(FlashFaults, AnEraseFrameTakenInPartEndsTheEraseWithOne) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    fill_with_pattern(instrument().flash(1), 0x44);
    const auto before = region_bytes(SELECTOR_FIRMWARE);
    // Writes: mode, select, identification, update begin, then the erase.
    faults().partial_write = sim::Trigger::once(4);

    EXPECT_EQ(image_erase(device(), SELECTOR_FIRMWARE, 0, 1), 1);

    EXPECT_EQ(region_bytes(SELECTOR_FIRMWARE), before);
    EXPECT_THAT(out_sizes_after_partial(), ElementsAre(40, 20, 20));  // closing pair, select, query
}

TEST_F(FlashFaults, AReadThatFailsDuringAnEraseEndsItWithTheReadsCode) {
    auto options = with_flash(sim::Contents::blank);
    options.instrument.timing.sector_erase_256k_us = 900'000;
    ASSERT_NO_FATAL_FAILURE(start(options));
    // Power goes while sector 1 is being waited for.
    bool first_sector_done = false;
    bool cut = false;
    sim().window().on_progress = [&](int control, std::uint32_t position) {
        if (control == IDC_OVERALL_PROGRESS && position > 0) {
            first_sector_done = true;
        } else if (control == IDC_TASK_PROGRESS && first_sector_done && !cut) {
            cut = true;
            const auto lock = sim().backend().lock();
            instrument().lose_power(sim().clock().now_us());
        }
    };

    EXPECT_EQ(image_erase(device(), SELECTOR_FACTORY_BITSTREAM, 0, 100), USB_ERR_INCOMPLETE);

    EXPECT_THAT(addresses_of(sent(), ERASE), ElementsAre(0, 0x40000));
    // The overall bar moves as though the failing sector were erased.
    EXPECT_THAT(overall_bar(), ElementsAre(0, 25, 50));
}

// ---- program ----

TEST_F(FlashFaults, AFlashCoreThatStopsAnsweringEndsTheProgramming) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    // The identification and four pages are answered, nothing after them.
    faults().drop_reply = sim::Trigger{5, -1, 1.0};
    const std::uint32_t firmware_length = length(SELECTOR_FIRMWARE);
    const std::uint32_t last = (firmware_length - 1) / 256 * 256;

    EXPECT_EQ(image_program(device(), SELECTOR_FIRMWARE, 0, 64), -2);

    const auto words = sent();
    EXPECT_EQ(addresses_of(words, WRITE).size(), 5U);  // the fifth is not sent again
    EXPECT_THAT(std::vector<std::uint32_t>(words.end() - 13, words.end() - 10),
                ElementsAre(UPDATE_END_A, UPDATE_END_B, SELECT_0));
    EXPECT_EQ(count_of(words, IDENTIFY), 1U + 10U);  // the closing query is asked ten times
    const auto sent_frames = frames();
    const auto& transfers = instrument().transfers();
    const std::size_t fifth_page = 4 + 4;  // after mode, select, query, update begin
    ASSERT_EQ(sent_frames[fifth_page + 1].word, UPDATE_END_A);
    EXPECT_EQ(transfers[sent_frames[fifth_page + 1].transfer].start_us -
                  transfers[sent_frames[fifth_page].transfer].start_us,
              SHORT_POLLS * 10'000);
    // The bars stand as though the fifth page had been acknowledged.
    const std::uint32_t done = firmware_length - last + 4 * 256;
    EXPECT_EQ(task_bar().back(), done * 128 / firmware_length);
    EXPECT_EQ(overall_bar().back(), 64 * done / firmware_length);
    EXPECT_EQ(task_bar().size(), 1U + 5U);
}

TEST_F(FlashFaults, APageFrameTakenInPartEndsTheProgrammingWithoutMovingTheBars) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    // Writes: mode, select, identification, update begin, two pages, then the third.
    faults().partial_write = sim::Trigger::once(6);
    const std::uint32_t firmware_length = length(SELECTOR_FIRMWARE);
    const std::uint32_t done = firmware_length - (firmware_length - 1) / 256 * 256 + 256;

    EXPECT_EQ(image_program(device(), SELECTOR_FIRMWARE, 0, 64), -1);

    EXPECT_EQ(task_bar().back(), done * 128 / firmware_length);
    EXPECT_EQ(task_bar().size(), 1U + 2U);
    EXPECT_THAT(out_sizes_after_partial(), ElementsAre(40, 20, 20));  // closing pair, select, query
}

TEST_F(FlashFaults, AReadThatFailsDuringProgrammingEndsItWithTheReadsCode) {
    ASSERT_NO_FATAL_FAILURE(start(with_flash(sim::Contents::blank)));
    const std::uint32_t firmware_length = length(SELECTOR_FIRMWARE);
    const std::uint32_t first = firmware_length - (firmware_length - 1) / 256 * 256;
    // After the second page is acknowledged: the third page goes out, its read fails.
    int acknowledged = 0;
    sim().window().on_progress = [&](int control, std::uint32_t) {
        if (control == IDC_OVERALL_PROGRESS && ++acknowledged == 3) {
            lose_power_at(1);
        }
    };

    EXPECT_EQ(image_program(device(), SELECTOR_FIRMWARE, 0, 64), USB_ERR_FAILED);

    EXPECT_EQ(addresses_of(sent(), WRITE).size(), 3U);
    const std::uint32_t done = first + 2 * 256;  // as though the third page were acknowledged
    EXPECT_EQ(task_bar().back(), done * 128 / firmware_length);
    EXPECT_EQ(overall_bar().back(), 64 * done / firmware_length);
}

// ---- verify ----

TEST_F(FlashFaults, AFlashCoreThatStopsAnsweringEndsTheVerification) {
    ASSERT_NO_FATAL_FAILURE(start());
    faults().drop_reply = sim::Trigger{4, -1, 1.0};  // identification and three reads
    const std::uint32_t bitstream_length = length(SELECTOR_BITSTREAM);

    EXPECT_EQ(image_verify(device(), SELECTOR_BITSTREAM, 0, 100), -2);

    EXPECT_THAT(addresses_of(sent(), READ),
                ElementsAre(0x6C0000, 0x6C0400, 0x6C0800, 0x6C0C00, 0x6C0C00, 0x6C0C00, 0x6C0C00,
                            0x6C0C00, 0x6C0C00));
    EXPECT_EQ(task_bar().back(), 3072 * 128 / bitstream_length);
    EXPECT_EQ(overall_bar().back(), 100 * 3072 / bitstream_length);
    const auto words = sent();
    EXPECT_EQ(words[words.size() - 11], MODE_5);
    // Each unanswered attempt waits 51 empty polls of 10 ms.
    const auto sent_frames = frames();
    const auto& transfers = instrument().transfers();
    for (std::size_t attempt = 7; attempt < 12; ++attempt) {
        EXPECT_EQ(transfers[sent_frames[attempt + 1].transfer].start_us -
                      transfers[sent_frames[attempt].transfer].start_us,
                  SHORT_POLLS * 10'000);
    }
}

TEST_F(FlashFaults, AReadAnsweredAfterUnansweredAttemptsIsComparedAndTheNextHasSixAgain) {
    ASSERT_NO_FATAL_FAILURE(start());
    faults().drop_reply = sim::Trigger::count(5, 2);  // the second read, five times
    int compared = 0;
    sim().window().on_progress = [&](int control, std::uint32_t) {
        if (control == IDC_OVERALL_PROGRESS && ++compared == 3) {
            faults().drop_reply = sim::Trigger::count(1);  // the third read, once
        }
    };

    EXPECT_EQ(image_verify(device(), SELECTOR_FIRMWARE, 0, 1), 1);

    EXPECT_THAT(addresses_of(sent(), READ),
                ElementsAre(0x100000, 0x100400, 0x100400, 0x100400, 0x100400, 0x100400, 0x100400,
                            0x100800, 0x100800));
}

TEST_F(FlashFaults, AStaleReplyBeforeAVerificationIsDrainedNotCompared) {
    auto options = with_flash(sim::Contents::current);
    options.instrument.read_reply_bytes = 256;
    ASSERT_NO_FATAL_FAILURE(start(options));
    // A read of erased flash, whose reply nobody collected.
    flash_command(device(), READ | 0xFD0000);
    mark();

    EXPECT_EQ(image_verify(device(), SELECTOR_CONFIGURATION_SEQUENCE, 0, 1), 1);
    EXPECT_EQ(addresses_of(sent(), READ).size(), 1U);
    EXPECT_EQ(count_of(sent(), IDENTIFY), 2U);
}

TEST_F(FlashFaults, AStaleReplyLongerThanOneReadIsDrainedWhole) {
    ASSERT_NO_FATAL_FAILURE(start());
    // 1,040 bytes of frame: more than one 512-byte read brings.
    flash_command(device(), READ | 0xFD0000);
    mark();

    EXPECT_EQ(image_verify(device(), SELECTOR_CONFIGURATION_SEQUENCE, 0, 1), 1);
    EXPECT_EQ(count_of(sent(), IDENTIFY), 2U);
}

TEST_F(FlashFaults, AReadFrameTakenInPartEndsTheVerification) {
    ASSERT_NO_FATAL_FAILURE(start());
    // Writes: mode, select, identification, mode 0, then the first read.
    faults().partial_write = sim::Trigger::once(4);
    EXPECT_EQ(image_verify(device(), SELECTOR_FIRMWARE, 0, 1), -1);
}

TEST_F(FlashFaults, AReadThatFailsDuringAVerificationEndsIt) {
    ASSERT_NO_FATAL_FAILURE(start());
    int compared = 0;
    sim().window().on_progress = [&](int control, std::uint32_t) {
        if (control == IDC_OVERALL_PROGRESS && ++compared == 2) {
            lose_power_at(1);  // the next read command goes out, its reply read fails
        }
    };

    EXPECT_LT(image_verify(device(), SELECTOR_FIRMWARE, 0, 100), 0);

    EXPECT_EQ(addresses_of(sent(), READ).size(), 2U);
    EXPECT_EQ(task_bar().back(), 1024U * 128 / length(SELECTOR_FIRMWARE));
}


// The last send of the closing (mode 5 on device 0; select 0 after device 1)
// taken in part replaces a verification that found the region equal: the
// instrument may not be left as the next operation expects.
TEST_F(FlashFaults, ALastClosingSendTakenInPartReplacesAnEqualResult) {
    for (const int selector : {SELECTOR_CONFIGURATION_SEQUENCE, SELECTOR_FIRMWARE}) {
        SCOPED_TRACE(selector);
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_EQ(image_verify(device(), selector, 0, 1), 1);
        // The closing's last send is the bulk write before the closing query.
        std::size_t writes = 0;
        for (const sim::TransferRecord* record : sim().transfers_since(mark_)) {
            writes += record->kind == sim::TransferKind::bulk && !record->in ? 1 : 0;
        }
        const std::uint32_t last_send = selector == SELECTOR_FIRMWARE ? SELECT_0 : MODE_5;
        const std::vector<std::uint32_t> words = sent();
        ASSERT_GE(words.size(), 2U);
        ASSERT_EQ(words[words.size() - 2], last_send);
        ASSERT_EQ(words.back(), IDENTIFY);
        mark();

        faults().partial_write = sim::Trigger::once(static_cast<std::uint32_t>(writes - 2));
        EXPECT_EQ(image_verify(device(), selector, 0, 1), -1);
        const std::vector<std::uint32_t> again = sent();
        ASSERT_GE(again.size(), 1U);
        EXPECT_EQ(again.back(), IDENTIFY);  // the closing still drains and asks after it
    }
}

// ---- the device select ----

// A select taken in part leaves the flash core on device 0, where the firmware
// regions' addresses lie inside the factory bitstream: the operation fails
// without erasing, writing or reading anything, and still sends its closing.
TEST_F(FlashFaults, ASelectTakenInPartFailsTheOperationBeforeItTouchesTheFlash) {
    using Operation = int (*)(UsbDevice*, int, int, int);
    const struct {
        const char* name;
        Operation operation;
        int selector;
    } cases[] = {
        {"erase", image_erase, SELECTOR_FIRMWARE},
        {"program", image_program, SELECTOR_FACTORY_FIRMWARE},
        {"verify", image_verify, SELECTOR_FIRMWARE},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        ASSERT_NO_FATAL_FAILURE(start());
        fill_with_pattern(instrument().flash(0), 0x5C);  // so that an erase anywhere shows
        const auto device_0 = sim().flash_bytes(0, 0, sim::NorFlash::SIZE);
        const auto device_1 = sim().flash_bytes(1, 0, sim::NorFlash::SIZE);
        faults().partial_write = sim::Trigger::once(1);  // mode 5 goes whole, the select not

        EXPECT_EQ(item.operation(device(), item.selector, 0, 1), -1);

        EXPECT_TRUE(sim().flash_bytes(0, 0, sim::NorFlash::SIZE) == device_0);
        EXPECT_TRUE(sim().flash_bytes(1, 0, sim::NorFlash::SIZE) == device_1);
        const auto words = sent();
        for (const std::uint32_t opcode : {ERASE, WRITE, READ}) {
            EXPECT_THAT(addresses_of(words, opcode), ::testing::IsEmpty()) << std::hex << opcode;
        }
        EXPECT_EQ(count_of(words, UPDATE_BEGIN), 0U);
        ASSERT_GE(words.size(), 2U);
        EXPECT_THAT(std::vector<std::uint32_t>(words.end() - 2, words.end()),
                    ElementsAre(SELECT_0, IDENTIFY));
    }
}

}  // namespace
}  // namespace flash_test
