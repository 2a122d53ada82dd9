// The flash core upload against the simulated instrument: what goes over the
// wire, how the completion polls are paced on virtual time, and what the
// window shows.
#include "sequence/flash_core_upload.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "device/forwarding_backend.h"
#include "window/window_port.h"
#include "support/sim_fixture.h"

namespace {

using sim_support::SimFixture;
using sim_support::SimFixtureOptions;
using ::testing::Each;
using ::testing::ElementsAre;

constexpr std::size_t TRAILER_WRITES = 100;
constexpr std::size_t TRAILER_WRITE_BYTES = 512;
constexpr const char* UPLOAD_SUCCESS = "Uploading the flash core ... success\r\n";
constexpr const char* UPLOAD_FAILED = "Uploading the flash core ... failed\r\n";

SimFixtureOptions core_of(std::size_t bytes) {
    SimFixtureOptions options;
    options.sizes.flash_core = bytes;
    return options;
}

SimFixtureOptions core_with_timing(std::uint32_t done_polls, std::uint32_t startup_polls) {
    SimFixtureOptions options;
    options.instrument.timing.fpga_done_polls = done_polls;
    options.instrument.timing.fpga_startup_polls = startup_polls;
    return options;
}

std::uint32_t word_count(std::size_t core_bytes) {
    return static_cast<std::uint32_t>((core_bytes + 51200) / 2);
}

bool is_request(const sim::TransferRecord* record, std::uint8_t request) {
    return record->kind == sim::TransferKind::control && record->setup.request == request;
}

std::vector<const sim::TransferRecord*> bulk_writes(
    const std::vector<const sim::TransferRecord*>& records) {
    std::vector<const sim::TransferRecord*> writes;
    for (const auto* record : records) {
        if (record->kind == sim::TransferKind::bulk && !record->in) {
            writes.push_back(record);
        }
    }
    return writes;
}

std::size_t status_polls(const std::vector<const sim::TransferRecord*>& records) {
    std::size_t polls = 0;
    for (const auto* record : records) {
        polls += is_request(record, VREQ_FPGA_STATUS) ? 1 : 0;
    }
    return polls;
}

// Passes everything to the simulated bus, but lets a test rewrite what a
// device-to-host control request answers: answers the instrument model never
// gives on its own.
class EditedControlReplies final : public ForwardingUsbBackend {
  public:
    using Edit = std::function<void(const UsbSetupPacket&, std::span<std::uint8_t>)>;

    EditedControlReplies(sim::SimBackend& inner, Edit edit)
        : ForwardingUsbBackend(inner), bus_(inner), edit_(std::move(edit)) {
        usb_install_backend(this);
    }
    ~EditedControlReplies() override { usb_install_backend(&bus_); }

    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override {
        const int bytes = ForwardingUsbBackend::control_transfer(device, setup, data);
        if (bytes > 0) {
            edit_(setup, data.first(static_cast<std::size_t>(bytes)));
        }
        return bytes;
    }

  private:
    sim::SimBackend& bus_;
    Edit edit_;
};

// ---- the wire ----

TEST(FlashCoreUpload, AnnouncesTheWordCountAndStreamsTheConvertedCoreInChunks) {
    SimFixture sim(core_of(4098));
    ASSERT_NE(sim.device(), nullptr);
    const std::size_t mark = sim.transfer_mark();

    ASSERT_EQ(flash_core_upload(sim.device(), 0, 1), 0);

    const auto records = sim.transfers_since(mark);
    ASSERT_GE(records.size(), 2U);
    const UsbSetupPacket& announce = records[0]->setup;
    EXPECT_EQ(announce.request_type, 0xC0);
    EXPECT_EQ(announce.request, VREQ_FPGA_CONFIG);
    EXPECT_EQ(announce.value, word_count(4098) & 0xFFFF);
    EXPECT_EQ(announce.index, word_count(4098) >> 16);
    EXPECT_EQ(announce.length, 16);
    EXPECT_TRUE(is_request(records[1], VREQ_FPGA_STATUS));
    EXPECT_EQ(records[1]->setup.length, 16);

    const auto writes = bulk_writes(records);
    ASSERT_EQ(writes.size(), 2 + TRAILER_WRITES);
    EXPECT_EQ(writes[0]->data.size(), 4096U);
    EXPECT_EQ(writes[1]->data.size(), 2U);
    const auto expected = sim::flash_core_upload_stream(sim.images().flash_core);
    std::vector<std::uint8_t> core_sent(writes[0]->data);
    core_sent.insert(core_sent.end(), writes[1]->data.begin(), writes[1]->data.end());
    EXPECT_TRUE(std::equal(core_sent.begin(), core_sent.end(), expected.begin()));
    for (std::size_t i = 2; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i]->endpoint, PIPE_BULK_OUT);
        ASSERT_EQ(writes[i]->data.size(), TRAILER_WRITE_BYTES);
        EXPECT_THAT(writes[i]->data, Each(0));
    }
    EXPECT_TRUE(sim.instrument().fpga().running());
}

TEST(FlashCoreUpload, SendsACoreOfOneChunkAsOneWriteBeforeTheTrailer) {
    SimFixture sim(core_of(4096));
    const std::size_t mark = sim.transfer_mark();

    ASSERT_EQ(flash_core_upload(sim.device(), 0, 1), 0);

    const auto writes = bulk_writes(sim.transfers_since(mark));
    ASSERT_EQ(writes.size(), 1 + TRAILER_WRITES);
    EXPECT_EQ(writes[0]->data.size(), 4096U);
    EXPECT_EQ(writes[1]->data.size(), TRAILER_WRITE_BYTES);
    EXPECT_TRUE(sim.instrument().fpga().running());
}

TEST(FlashCoreUpload, SwapsTheBytesOfEachWordAndReversesTheirBits) {
    SimFixtureOptions options;
    options.adjust_images = [](sim::SyntheticImages& images) {
        const std::uint8_t start[] = {0x01, 0x80, 0x12, 0x34, 0x0F, 0xA5};
        std::copy(std::begin(start), std::end(start), images.flash_core.begin());
    };
    SimFixture sim(options);
    const std::size_t mark = sim.transfer_mark();

    ASSERT_EQ(flash_core_upload(sim.device(), 0, 1), 0);

    const auto writes = bulk_writes(sim.transfers_since(mark));
    ASSERT_FALSE(writes.empty());
    ASSERT_GE(writes[0]->data.size(), 6U);
    EXPECT_THAT(std::vector<std::uint8_t>(writes[0]->data.begin(), writes[0]->data.begin() + 6),
                ElementsAre(0x01, 0x80, 0x2C, 0x48, 0xA5, 0xF0));
    EXPECT_TRUE(sim.instrument().fpga().running());
}

TEST(FlashCoreUpload, AnnouncesTheFullSizeCoreInTwentyFourBits) {
    SimFixture sim(core_of(1'169'276));
    const std::size_t mark = sim.transfer_mark();

    ASSERT_EQ(flash_core_upload(sim.device(), 0, 1), 0);

    const auto records = sim.transfers_since(mark);
    EXPECT_EQ(word_count(1'169'276), 610'238U);
    EXPECT_EQ(records[0]->setup.value, 0x4FBE);
    EXPECT_EQ(records[0]->setup.index, 0x09);
    const auto writes = bulk_writes(records);
    ASSERT_EQ(writes.size(), 286 + TRAILER_WRITES);  // 285 whole chunks and 1,916 bytes
    EXPECT_EQ(writes[285]->data.size(), 1916U);
    EXPECT_TRUE(sim.instrument().fpga().running());
}

// ---- refusals before the data ----

TEST(FlashCoreUpload, ARefusedAnnouncementFailsBeforeAnyData) {
    SimFixture sim;
    EditedControlReplies refuse(sim.backend(), [](const UsbSetupPacket& setup, auto reply) {
        if (setup.request == VREQ_FPGA_CONFIG && reply.size() > 1) {
            reply[1] = 0x01;
        }
    });
    const std::size_t mark = sim.transfer_mark();

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), -1);

    EXPECT_TRUE(bulk_writes(sim.transfers_since(mark)).empty());
    EXPECT_EQ(status_polls(sim.transfers_since(mark)), 0U);
    EXPECT_EQ(sim.window().log(), UPLOAD_FAILED);
}

TEST(FlashCoreUpload, AnAnnouncementThatDeliversNothingFails) {
    SimFixture sim;
    sim.instrument().faults().control_fail[VREQ_FPGA_CONFIG] = sim::Trigger::once();
    const std::size_t mark = sim.transfer_mark();

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), -1);

    EXPECT_TRUE(bulk_writes(sim.transfers_since(mark)).empty());
    EXPECT_EQ(sim.window().log(), UPLOAD_FAILED);
}

TEST(FlashCoreUpload, AnInstrumentNotReadyForDataFailsWithoutWaiting) {
    SimFixture sim;
    EditedControlReplies not_ready(sim.backend(), [](const UsbSetupPacket& setup, auto reply) {
        if (setup.request == VREQ_FPGA_STATUS && reply.size() > 2) {
            reply[2] = static_cast<std::uint8_t>(reply[2] & ~0x04);
        }
    });
    const std::size_t mark = sim.transfer_mark();
    const std::uint64_t start = sim.clock().now_us();

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), -1);

    EXPECT_TRUE(bulk_writes(sim.transfers_since(mark)).empty());
    EXPECT_EQ(status_polls(sim.transfers_since(mark)), 1U);
    EXPECT_EQ(sim.clock().now_us(), start);
    EXPECT_EQ(sim.window().log(), UPLOAD_FAILED);
}

TEST(FlashCoreUpload, AnOddLengthCoreIsRefusedBeforeAnythingIsSent) {
    SimFixture sim(core_of(4097));
    const std::size_t mark = sim.transfer_mark();

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), -1);

    EXPECT_TRUE(sim.transfers_since(mark).empty());
    EXPECT_EQ(sim.window().log(), UPLOAD_FAILED);
}

TEST(FlashCoreUpload, AFailedDataWriteFailsTheUpload) {
    SimFixture sim;
    // Announcement, ready poll, first chunk, then the second chunk is cut.
    sim.instrument().faults().power_loss_at_transfer = sim.transfer_mark() + 3;

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), -1);

    EXPECT_EQ(sim.window().log(), UPLOAD_FAILED);
    EXPECT_FALSE(sim.instrument().fpga().running());
}

// A block the instrument stops taking (its FPGA halted after the first) is
// given up after 1000 ms, and the upload fails.
TEST(FlashCoreUpload, ABlockNotTakenWithinOneSecondFailsTheUpload) {
    SimFixture sim;
    const std::size_t mark = sim.transfer_mark();
    bool halted = false;
    sim.window().on_progress = [&](int control, std::uint32_t position) {
        if (control == IDC_TASK_PROGRESS && position > 0 && !halted) {
            halted = true;
            std::uint8_t reply[16] = {};
            int length = 16;
            usb_control_transfer(sim.device(), 0, VREQ_FPGA_CONFIG, 0, FPGA_CONFIG_HALT, &length,
                                 reply);
        }
    };

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), -1);

    EXPECT_EQ(sim.window().log(), UPLOAD_FAILED);
    std::vector<const sim::TransferRecord*> writes;
    for (const sim::TransferRecord* record : sim.transfers_since(mark)) {
        if (record->kind == sim::TransferKind::bulk && !record->in) {
            writes.push_back(record);
        }
    }
    ASSERT_EQ(writes.size(), 2U);  // the first block, then the one never taken
    EXPECT_EQ(writes[1]->status, sim::TransferStatus::aborted);
    EXPECT_EQ(writes[1]->end_us - writes[1]->start_us, 1'000'000U);
}

// ---- completion polls on virtual time ----

TEST(FlashCoreUpload, CompletesOnTheFirstPollOfEachStageWithoutSleeping) {
    SimFixture sim(core_with_timing(0, 0));
    const std::size_t mark = sim.transfer_mark();
    const std::uint64_t start = sim.clock().now_us();

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), 0);

    EXPECT_EQ(status_polls(sim.transfers_since(mark)), 1U + 2U);  // ready, first, second stage
    EXPECT_EQ(sim.clock().now_us(), start);
    EXPECT_EQ(sim.window().log(), UPLOAD_SUCCESS);
    EXPECT_TRUE(sim.instrument().fpga().running());
}

TEST(FlashCoreUpload, KeepsPollingTheSecondStageUntilBothBitsAreSet) {
    // After the data: 0x06 three times (the first ends the first stage), then 0x16.
    SimFixture sim(core_with_timing(0, 3));
    const std::size_t mark = sim.transfer_mark();
    const std::uint64_t start = sim.clock().now_us();

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), 0);

    EXPECT_EQ(status_polls(sim.transfers_since(mark)), 1U + 1U + 3U);
    EXPECT_EQ(sim.clock().now_us() - start, 200'000U);
}

TEST(FlashCoreUpload, GivesUpTheFirstStageAfterTenPollsAndHalfASecond) {
    SimFixture sim(core_with_timing(1000, 0));
    const std::size_t mark = sim.transfer_mark();
    const std::uint64_t start = sim.clock().now_us();

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), -1);

    EXPECT_EQ(status_polls(sim.transfers_since(mark)), 1U + 10U);
    EXPECT_EQ(sim.clock().now_us() - start, 500'000U);
    EXPECT_EQ(sim.window().log(), UPLOAD_FAILED);
}

TEST(FlashCoreUpload, GivesUpTheSecondStageAfterTenPollsAndOneSecond) {
    SimFixture sim(core_with_timing(0, 1000));
    const std::size_t mark = sim.transfer_mark();
    const std::uint64_t start = sim.clock().now_us();

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), -1);

    EXPECT_EQ(status_polls(sim.transfers_since(mark)), 1U + 1U + 10U);
    EXPECT_EQ(sim.clock().now_us() - start, 1'000'000U);
    EXPECT_EQ(sim.window().log(), UPLOAD_FAILED);
}

TEST(FlashCoreUpload, AFailedCompletionPollFailsTheUpload) {
    SimFixture sim(core_with_timing(3, 0));
    // The ready poll passes; the first completion poll delivers nothing.
    sim.instrument().faults().control_fail[VREQ_FPGA_STATUS] = sim::Trigger::once(1);
    const std::size_t mark = sim.transfer_mark();

    EXPECT_EQ(flash_core_upload(sim.device(), 0, 1), -1);

    EXPECT_EQ(status_polls(sim.transfers_since(mark)), 2U);
    EXPECT_EQ(sim.window().log(), UPLOAD_FAILED);
}

// ---- the bars ----

TEST(FlashCoreUpload, MovesBothBarsWithTheBytesSent) {
    SimFixture sim(core_of(4098));
    const std::uint32_t total = 2 * word_count(4098);

    ASSERT_EQ(flash_core_upload(sim.device(), 0, 2), 0);

    const auto task = sim.window().progress_history(IDC_TASK_PROGRESS);
    const auto overall = sim.window().progress_history(IDC_OVERALL_PROGRESS);
    ASSERT_EQ(task.size(), 1 + 2 + TRAILER_WRITES);
    ASSERT_EQ(overall.size(), task.size());
    EXPECT_EQ(task.front(), 0U);
    EXPECT_EQ(overall.front(), 0U);
    EXPECT_EQ(task[1], 4096U * 128 / total);
    EXPECT_EQ(task[2], 4098U * 128 / total);
    EXPECT_EQ(task[3], (4098U + 512) * 128 / total);
    EXPECT_EQ(overall[task.size() / 2], 2U * (4098 + 512 * (task.size() / 2 - 2)) / total);
    EXPECT_EQ(task.back(), 128U);
    EXPECT_EQ(overall.back(), 2U);
    EXPECT_TRUE(std::is_sorted(task.begin(), task.end()));
    EXPECT_EQ(sim.window().log(), UPLOAD_SUCCESS);
}

TEST(FlashCoreUpload, TakesASpanOfOneWhenTheOverallEndIsNotAboveItsStart) {
    for (const int overall_to : {5, 3}) {
        SimFixture sim;
        ASSERT_EQ(flash_core_upload(sim.device(), 5, overall_to), 0);
        const auto overall = sim.window().progress_history(IDC_OVERALL_PROGRESS);
        EXPECT_EQ(overall.front(), 5U);
        EXPECT_EQ(overall.back(), 6U) << "overall_to " << overall_to;
        EXPECT_EQ(sim.window().progress(IDC_TASK_PROGRESS), 128U);
    }
}

}  // namespace
