#include "device/flash_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

#include "device/reply_stream.h"
#include "support/scripted_backend.h"
#include "support/test_clock.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Outcome = ScriptedBackend::Outcome;

const Bytes IDENTIFY_FRAME{0x47, 0x5A, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

class FlashCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reply_stream = ReplyStream{};
        usb_install_backend(&backend);
    }
    void TearDown() override {
        usb_install_backend(nullptr);
        reply_stream = ReplyStream{};
    }

    void queue_reply(const Bytes& payload, std::uint32_t delay_ms = 0) {
        backend.queue_read(frame_bytes(payload), delay_ms);
    }

    InstalledTestClock clock;
    ScriptedBackend backend;
};

TEST_F(FlashCommandsTest, CommandFrameGoesOutWholeOnPipe2) {
    EXPECT_EQ(flash_command(backend.device(), FLASH_CMD_READ | 0x123456), 0);
    ASSERT_EQ(backend.writes().size(), 1U);
    const Bytes expected{0x47, 0x5A, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x56, 0x34, 0x12, 0x30};
    EXPECT_EQ(backend.writes()[0], expected);
}

TEST_F(FlashCommandsTest, CommandResultsTellShortAndFailedWrites) {
    backend.queue_write_outcome(Outcome::complete, 12);
    EXPECT_EQ(flash_command(backend.device(), FLASH_CMD_MODE | 5), 1);

    backend.queue_write_outcome(Outcome::timeout);
    EXPECT_EQ(flash_command(backend.device(), FLASH_CMD_MODE | 5), USB_ERR_TIMEOUT);

    backend.queue_write_outcome(Outcome::start_failure);
    EXPECT_EQ(flash_command(backend.device(), FLASH_CMD_MODE | 5), USB_ERR_FAILED);

    backend.queue_write_outcome(Outcome::completion_failure);
    EXPECT_EQ(flash_command(backend.device(), FLASH_CMD_MODE | 5), USB_ERR_INCOMPLETE);

    EXPECT_EQ(flash_command(backend.device(), FLASH_CMD_MODE | 5), 0);
    EXPECT_EQ(backend.writes().size(), 5U);
}

TEST_F(FlashCommandsTest, CommandOnADeviceWithoutPipesFails) {
    UsbDevice closed;
    EXPECT_EQ(flash_command(&closed, FLASH_CMD_SELECT), USB_ERR_FAILED);
    EXPECT_TRUE(backend.writes().empty());
}

TEST_F(FlashCommandsTest, PageFrameCarriesAddressAndDataInOrder) {
    std::array<std::uint8_t, FLASH_PAGE_SIZE> page{};
    std::iota(page.begin(), page.end(), std::uint8_t{0});
    EXPECT_EQ(flash_write_page(backend.device(), 0x6C0000, page), 0);

    ASSERT_EQ(backend.writes().size(), 1U);
    const Bytes& frame = backend.writes()[0];
    ASSERT_EQ(frame.size(), 276U);
    EXPECT_EQ(slice(frame, 0, 4), (Bytes{0x47, 0x5A, 0x00, 0x00}));
    EXPECT_EQ(slice(frame, 4, 8), (Bytes{0x41, 0x00, 0x00, 0x00}));
    EXPECT_EQ(slice(frame, 8, 16), Bytes(8, 0));
    EXPECT_EQ(slice(frame, 16, 20), (Bytes{0x00, 0x00, 0x6C, 0x10}));
    EXPECT_EQ(slice(frame, 20, 276), Bytes(page.begin(), page.end()));
}

TEST_F(FlashCommandsTest, PageFrameTakenInPartReportsOne) {
    const std::array<std::uint8_t, FLASH_PAGE_SIZE> page{};
    backend.queue_write_outcome(Outcome::complete, 275);
    EXPECT_EQ(flash_write_page(backend.device(), 0, page), 1);
    backend.queue_write_outcome(Outcome::timeout);
    EXPECT_EQ(flash_write_page(backend.device(), 0, page), USB_ERR_TIMEOUT);
}

TEST_F(FlashCommandsTest, UpdateEndSendsBothClosingFramesInOneWrite) {
    flash_update_end(backend.device());
    ASSERT_EQ(backend.writes().size(), 1U);
    const Bytes& sent = backend.writes()[0];
    ASSERT_EQ(sent.size(), 40U);
    Bytes first = IDENTIFY_FRAME;
    first[19] = 0x02;
    Bytes second = IDENTIFY_FRAME;
    second[19] = 0x04;
    EXPECT_EQ(slice(sent, 0, 20), first);
    EXPECT_EQ(slice(sent, 20, 40), second);
}

TEST_F(FlashCommandsTest, AccessReturnsTheCapacityCode) {
    queue_reply({0x20, 0x20, 0x18, 0x55});
    EXPECT_EQ(flash_access(backend.device()), 24);
    ASSERT_EQ(backend.writes().size(), 1U);
    EXPECT_EQ(backend.writes()[0], IDENTIFY_FRAME);
}

TEST_F(FlashCommandsTest, AccessPassesAZeroCapacityCodeOn) {
    queue_reply({0x20, 0x20, 0x00, 0x55});
    EXPECT_EQ(flash_access(backend.device()), 0);
    EXPECT_EQ(backend.writes().size(), 1U);
}

TEST_F(FlashCommandsTest, AccessAsksAgainAfterAForeignIdentification) {
    queue_reply({0x20, 0x21, 0x18, 0x00});
    queue_reply({0x20, 0x20, 0x17, 0x00});
    EXPECT_EQ(flash_access(backend.device()), 23);
    EXPECT_EQ(backend.writes().size(), 2U);
}

TEST_F(FlashCommandsTest, AccessIgnoresARightPrefixOfTheWrongLength) {
    queue_reply({0x20, 0x20, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00});
    queue_reply({0x20, 0x20, 0x19, 0x00});
    EXPECT_EQ(flash_access(backend.device()), 25);
    EXPECT_EQ(backend.writes().size(), 2U);
}

TEST_F(FlashCommandsTest, EachStaleReplyCostsOneAttempt) {
    // A late erase reply, then an identification, in separate reads.
    queue_reply({0x00, 0x00, 0x00, 0x00});
    queue_reply({0x20, 0x20, 0x18, 0x00});
    EXPECT_EQ(flash_access(backend.device()), 24);
    EXPECT_EQ(backend.writes().size(), 2U);
}

TEST_F(FlashCommandsTest, StaleRepliesSharingOneReadCostOneAttemptEach) {
    Bytes both = frame_bytes(Bytes{0x00, 0x00, 0x00, 0x00});
    const Bytes identification = frame_bytes(Bytes{0x20, 0x20, 0x18, 0x00});
    both.insert(both.end(), identification.begin(), identification.end());
    backend.queue_read(both);
    EXPECT_EQ(flash_access(backend.device()), 24);
    EXPECT_EQ(backend.writes().size(), 2U);
    EXPECT_EQ(backend.reads_started(), 1);
}

TEST_F(FlashCommandsTest, LateIdentificationIsCollectedByALaterAttempt) {
    queue_reply({0x20, 0x20, 0x18, 0x00}, 700);
    EXPECT_EQ(flash_access(backend.device()), 24);
    EXPECT_EQ(backend.writes().size(), 2U);
    EXPECT_EQ(backend.reads_started(), 1);
    EXPECT_EQ(clock.now_ms(), 700U);
}

TEST_F(FlashCommandsTest, SilentFlashCoreGivesUpAfterTenAttempts) {
    backend.set_default_write_outcome(Outcome::timeout);
    EXPECT_EQ(flash_access(backend.device()), -1);
    EXPECT_EQ(backend.writes().size(), 10U);
    // Per attempt: a 250 ms write timeout and its 10 ms pause, then a 500 ms read.
    EXPECT_EQ(clock.now_ms(), 10U * (250 + 10 + 500));
    // The first read stays in flight and every later attempt waits for it again.
    EXPECT_EQ(backend.reads_started(), 1);
}

TEST_F(FlashCommandsTest, ReadFailuresCostAttemptsToo) {
    for (int i = 0; i < 9; ++i) {
        backend.queue_read_outcome(Outcome::start_failure);
    }
    queue_reply({0x20, 0x20, 0x18, 0x00});
    EXPECT_EQ(flash_access(backend.device()), 24);
    EXPECT_EQ(backend.writes().size(), 10U);

    for (int i = 0; i < 10; ++i) {
        backend.queue_read_outcome(Outcome::completion_failure);
    }
    queue_reply({0x20, 0x20, 0x18, 0x00});
    EXPECT_EQ(flash_access(backend.device()), -1);
    EXPECT_EQ(backend.reads_queued(), 1U);
}

}  // namespace
