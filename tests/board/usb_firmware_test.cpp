// Writing and reading back the USB controller's boot EEPROM on the simulated
// instrument: the EEPROM's contents, the requests on the wire, the log text
// and both progress bars.
#include "board/usb_firmware.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "board/board_sim.h"

namespace board_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr int WRITE_CHUNKS_8040 = 252;  // 251 of 32 bytes and one of 8
const std::string PROGRAMMING = "Programming USB firmware ... ";
const std::string VERIFYING = "Verifying USB firmware ... ";

bool is_bus_write(const sim::TransferRecord& record) {
    return record.setup.request == VREQ_BUS_TRANSFER && !record.in;
}
bool is_bus_read(const sim::TransferRecord& record) {
    return record.setup.request == VREQ_BUS_TRANSFER && record.in;
}

std::string hex_byte(std::uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

class UsbFirmwareTest : public BoardSimTest {
  protected:
    int program() { return program(images_.usb_firmware); }
    int program(const std::vector<std::uint8_t>& image) {
        mark_transfers();
        return usb_firmware_program(device_, image.data(), static_cast<int>(image.size()));
    }

    std::vector<sim::TransferRecord> writes() const { return only(is_bus_write); }
    std::vector<sim::TransferRecord> reads() const { return only(is_bus_read); }

    std::vector<sim::TransferRecord> only(bool (*keep)(const sim::TransferRecord&)) const {
        std::vector<sim::TransferRecord> kept;
        for (const sim::TransferRecord& record : transfers()) {
            if (keep(record)) {
                kept.push_back(record);
            }
        }
        return kept;
    }

    // (wIndex, wLength) of each read-back request.
    std::vector<std::pair<int, int>> read_requests() const {
        std::vector<std::pair<int, int>> requests;
        for (const sim::TransferRecord& record : reads()) {
            requests.emplace_back(record.setup.index, record.setup.length);
        }
        return requests;
    }

    // The current-task positions after each of the given chunk ends.
    static std::vector<std::uint32_t> positions_at(const std::vector<int>& ends, int length) {
        std::vector<std::uint32_t> positions;
        for (const int end : ends) {
            positions.push_back(static_cast<std::uint32_t>(end * 128 / length));
        }
        return positions;
    }

    void expect_access_bracket() {
        const auto all = transfers();
        ASSERT_GE(all.size(), 2U);
        const UsbSetupPacket first = all.front().setup;
        const UsbSetupPacket last = all.back().setup;
        EXPECT_EQ(first.request, VREQ_BUS_ACCESS);
        EXPECT_EQ(first.request_type, 0xC0);
        EXPECT_EQ(first.value, 1);
        EXPECT_EQ(first.index, 0);
        EXPECT_EQ(first.length, 1);
        EXPECT_EQ(last.request, VREQ_BUS_ACCESS);
        EXPECT_EQ(last.request_type, 0xC0);
        EXPECT_EQ(last.value, 0);
        EXPECT_EQ(last.length, 1);
        EXPECT_FALSE(instrument().eeprom_access_open());
    }
};

TEST_F(UsbFirmwareTest, OlderEepromIsWrittenAndReadsBackIdentical) {
    attach(sim::InitialState{sim::Contents::current, sim::Contents::older, sim::Contents::current});
    const auto& image = images_.usb_firmware;
    const auto before = bytes_of(instrument().eeprom().bytes().first(image.size()));
    ASSERT_NE(before, image);
    const std::int32_t device_number = instrument().device_number();

    EXPECT_EQ(program(), 1);

    EXPECT_EQ(bytes_of(instrument().eeprom().bytes().first(image.size())), image);
    EXPECT_EQ(instrument().device_number(), device_number);  // identification block untouched
    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "done\r\n");
    EXPECT_THAT(window_.progress_history(IDC_OVERALL_PROGRESS), ElementsAre(122, 123, 124));
    expect_access_bracket();
}

TEST_F(UsbFirmwareTest, WritesIn32ByteChunksReadsBackAndCommitsTheDeviceIdLast) {
    attach();
    const auto& image = images_.usb_firmware;
    ASSERT_EQ(program(), 1);

    // Every chunk but the first in address order, then the first (the header)
    // with the device id inverted, then after the read-back the id alone.
    const auto written = writes();
    ASSERT_EQ(written.size(), static_cast<std::size_t>(WRITE_CHUNKS_8040) + 1);
    for (std::size_t k = 0; k + 1 < written.size(); ++k) {
        const std::size_t offset = k + 2 < written.size() ? (k + 1) * 32 : 0;
        const std::size_t size = std::min<std::size_t>(32, image.size() - offset);
        std::vector<std::uint8_t> expected(image.begin() + offset, image.begin() + offset + size);
        if (offset == 0) {
            expected[5] = static_cast<std::uint8_t>(~image[5]);
            expected[6] = static_cast<std::uint8_t>(~image[6]);
        }
        SCOPED_TRACE(k);
        EXPECT_EQ(written[k].setup.request_type, 0x40);
        EXPECT_EQ(written[k].setup.value, 0x0651);
        EXPECT_EQ(written[k].setup.index, offset);
        EXPECT_EQ(written[k].setup.length, size);
        EXPECT_EQ(written[k].data, expected);
    }
    EXPECT_EQ(written[written.size() - 3].setup.length, 8);
    EXPECT_EQ(written.back().setup.index, 5);
    EXPECT_EQ(written.back().data, std::vector<std::uint8_t>(image.begin() + 5, image.begin() + 7));
    for (const sim::TransferRecord& read : reads()) {
        EXPECT_EQ(read.setup.request_type, 0xC0);
        EXPECT_EQ(read.setup.value, 0x0251);
    }
    EXPECT_THAT(read_requests(),
                ElementsAre(std::pair(0, 2048), std::pair(2048, 2048), std::pair(4096, 2048),
                            std::pair(6144, 1896), std::pair(5, 2)));
    // The read-back came before the id was written.
    EXPECT_LT(reads()[3].start_us, written.back().start_us);
    expect_access_bracket();
}

// A write that stops or reads back wrong must not leave the image's device id
// in the EEPROM: the next check compares only that id.
struct FailedWrite {
    const char* name;
    void (*arm)(sim::Faults&);
    const char* log_tail;
};

class UsbFirmwareFailedWrite : public UsbFirmwareTest,
                               public ::testing::WithParamInterface<FailedWrite> {};

TEST_P(UsbFirmwareFailedWrite, LeavesADeviceIdThatIsNotTheImages) {
    attach(sim::InitialState{sim::Contents::current, sim::Contents::older, sim::Contents::current});
    GetParam().arm(instrument().faults());

    EXPECT_EQ(program(), 0);

    EXPECT_THAT(window_.log(), ::testing::HasSubstr(VERIFYING + GetParam().log_tail));
    const auto& image = images_.usb_firmware;
    EXPECT_NE(bytes_of(instrument().eeprom().bytes().subspan(5, 2)),
              std::vector<std::uint8_t>(image.begin() + 5, image.begin() + 7));
    expect_access_bracket();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UsbFirmwareFailedWrite,
    ::testing::Values(
        FailedWrite{"ReadBackDifference",
                    [](sim::Faults& f) { f.eeprom_read_corruption[3000] = 0; }, "error at 3000"},
        FailedWrite{"ChunksStoredWrongEveryTime",
                    [](sim::Faults& f) { f.eeprom_write_lost = sim::Trigger{100, -1, 1.0}; },
                    "error at 0"},
        FailedWrite{"HeaderStoredWrongEveryTime",
                    [](sim::Faults& f) {
                        f.eeprom_write_lost = sim::Trigger{WRITE_CHUNKS_8040 - 1, -1, 1.0};
                    },
                    "error at 0"},
        FailedWrite{"IdStoredWrong",
                    [](sim::Faults& f) {
                        f.eeprom_write_lost = sim::Trigger::once(WRITE_CHUNKS_8040);
                    },
                    "error at 5"},
        FailedWrite{"IdRefused",
                    [](sim::Faults& f) {
                        // after the 252 chunks and the 4 reads of the read-back
                        f.control_fail[VREQ_BUS_TRANSFER] = sim::Trigger::once(WRITE_CHUNKS_8040 + 4);
                    },
                    "failed"}),
    [](const auto& test) { return std::string(test.param.name); });

// A chunk stored wrong once, the header above all (a controller whose header
// is lost no longer boots the instrument's firmware): written again, and the
// write succeeds.
TEST_F(UsbFirmwareTest, AHeaderStoredWrongOnceIsWrittenAgainAndTheWriteSucceeds) {
    attach(sim::InitialState{sim::Contents::current, sim::Contents::older, sim::Contents::current});
    instrument().faults().eeprom_write_lost = sim::Trigger::once(WRITE_CHUNKS_8040 - 1);

    EXPECT_EQ(program(), 1);

    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "done\r\n");
    const auto& image = images_.usb_firmware;
    EXPECT_EQ(bytes_of(instrument().eeprom().bytes().first(image.size())), image);
    const auto written = writes();
    ASSERT_EQ(written.size(), WRITE_CHUNKS_8040 + 2U);  // one rewrite, then the id
    EXPECT_EQ(written[WRITE_CHUNKS_8040].setup.index, 0);
}

TEST_F(UsbFirmwareTest, PausesOneMillisecondAfterEveryChunk) {
    attach();
    const std::uint64_t start = now_us();
    ASSERT_EQ(program(), 1);

    const auto written = writes();
    const auto read = reads();
    ASSERT_EQ(read.size(), 5U);
    for (std::size_t k = 1; k + 1 < written.size(); ++k) {
        EXPECT_EQ(written[k].start_us - written[k - 1].start_us, 1000U) << k;
    }
    EXPECT_EQ(read[0].start_us - written[written.size() - 2].start_us, 1000U);
    for (std::size_t k = 1; k + 1 < read.size(); ++k) {
        EXPECT_EQ(read[k].start_us - read[k - 1].start_us, 1000U) << k;
    }
    EXPECT_EQ(written.back().start_us - read[3].start_us, 1000U);
    EXPECT_EQ(read[4].start_us - written.back().start_us, 1000U);
    // With instant transfers, the pauses are all the time the operation takes:
    // the chunks, the read-back, the id and its read-back.
    EXPECT_EQ(now_us() - start, (WRITE_CHUNKS_8040 + 4 + 2) * 1000U);
}

TEST_F(UsbFirmwareTest, CurrentTaskBarFollowsEachChunkOfBothPhases) {
    attach();
    ASSERT_EQ(program(), 1);

    // Bytes written after each chunk: the chunks from offset 32 on (the last
    // one of 8 bytes), then the first.
    std::vector<int> write_ends;
    for (int end = 32; end <= 8000; end += 32) {
        write_ends.push_back(end);
    }
    write_ends.push_back(8008);
    write_ends.push_back(8040);
    std::vector<std::uint32_t> expected{0};
    for (const std::uint32_t position : positions_at(write_ends, 8040)) {
        expected.push_back(position);
    }
    expected.push_back(0);
    for (const std::uint32_t position : positions_at({2048, 4096, 6144, 8040}, 8040)) {
        expected.push_back(position);
    }
    EXPECT_THAT(window_.progress_history(IDC_TASK_PROGRESS), ElementsAreArray(expected));
    EXPECT_EQ(window_.progress(IDC_TASK_PROGRESS), 128U);
}

TEST_F(UsbFirmwareTest, ImageOfWholeChunksEndsWithAFullChunk) {
    attach();
    const std::vector<std::uint8_t> image(images_.usb_firmware.begin(),
                                          images_.usb_firmware.begin() + 4096);
    ASSERT_EQ(program(image), 1);

    const auto written = writes();
    ASSERT_EQ(written.size(), 129U);
    EXPECT_EQ(written[126].setup.index, 4064);
    EXPECT_EQ(written[126].setup.length, 32);
    EXPECT_EQ(written[127].setup.index, 0);
    EXPECT_THAT(read_requests(),
                ElementsAre(std::pair(0, 2048), std::pair(2048, 2048), std::pair(5, 2)));
    EXPECT_EQ(bytes_of(instrument().eeprom().bytes().first(image.size())), image);
}

TEST_F(UsbFirmwareTest, WriteRefusedInFirstChunkFailsButClosesAccess) {
    attach();
    instrument().faults().eeprom_write_nack = sim::AddressRange{0, 0};

    EXPECT_EQ(program(), 0);

    EXPECT_EQ(window_.log(), PROGRAMMING + "failed\r\n");
    // The first chunk goes last: everything else was written before it failed.
    EXPECT_EQ(writes().size(), static_cast<std::size_t>(WRITE_CHUNKS_8040));
    EXPECT_EQ(writes().back().setup.index, 0);
    EXPECT_TRUE(reads().empty());
    EXPECT_THAT(window_.progress_history(IDC_OVERALL_PROGRESS), ElementsAre(122, 123, 124));
    const auto task = window_.progress_history(IDC_TASK_PROGRESS);
    ASSERT_EQ(task.size(), static_cast<std::size_t>(WRITE_CHUNKS_8040) + 1);
    EXPECT_EQ(task[task.size() - 2], 8008U * 128 / 8040);
    EXPECT_EQ(task.back(), 0U);
    expect_access_bracket();
}

TEST_F(UsbFirmwareTest, WriteRefusedMidwayStopsAtThatChunk) {
    attach();
    instrument().faults().eeprom_write_nack = sim::AddressRange{320, 320};  // the 11th chunk

    EXPECT_EQ(program(), 0);

    EXPECT_EQ(writes().size(), 10U);  // offsets 32 to 320: the first chunk was not reached
    EXPECT_EQ(writes().back().setup.index, 320);
    EXPECT_TRUE(reads().empty());
    EXPECT_EQ(window_.log(), PROGRAMMING + "failed\r\n");
    const auto task = window_.progress_history(IDC_TASK_PROGRESS);
    ASSERT_EQ(task.size(), 11U);  // entry, nine accepted chunks, reset
    EXPECT_EQ(task[9], 288U * 128 / 8040);
    EXPECT_EQ(task.back(), 0U);
    expect_access_bracket();
}

TEST_F(UsbFirmwareTest, DifferenceAtByte3000IsReportedWithBothBytes) {
    attach();
    const auto& image = images_.usb_firmware;
    const auto corrupted = static_cast<std::uint8_t>(image[3000] ^ 0x5A);
    instrument().faults().eeprom_read_corruption[3000] = corrupted;

    EXPECT_EQ(program(), 0);

    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "error at 3000: " +
                                 hex_byte(corrupted) + " != " + hex_byte(image[3000]) + "\n\r\n");
    // The read-back; the chunk holding byte 3000 written again and read again
    // as often as rewrites are allowed; then one look at the id: still inverted.
    std::vector<std::pair<int, int>> expected_reads = {{0, 2048}, {2048, 2048}};
    expected_reads.insert(expected_reads.end(), EEPROM_REWRITES_ALLOWED, std::pair(2976, 2048));
    expected_reads.emplace_back(5, 2);
    EXPECT_EQ(read_requests(), expected_reads);
    const auto written = writes();
    ASSERT_EQ(written.size(), WRITE_CHUNKS_8040 + EEPROM_REWRITES_ALLOWED);
    for (std::size_t k = WRITE_CHUNKS_8040; k < written.size(); ++k) {
        EXPECT_EQ(written[k].setup.index, 2976);
    }
    const auto task = window_.progress_history(IDC_TASK_PROGRESS);
    ASSERT_GE(task.size(), 2U);
    EXPECT_EQ(task[1 + WRITE_CHUNKS_8040 + 1], 2048U * 128 / 8040);  // the first read counted
    EXPECT_EQ(task.back(), 3000U * 128 / 8040);
    EXPECT_EQ(window_.progress(IDC_OVERALL_PROGRESS), 124U);
    expect_access_bracket();
}

TEST_F(UsbFirmwareTest, DifferenceInFirstByteReportsOffsetZero) {
    attach();
    instrument().faults().eeprom_read_corruption[0] = 0x00;

    EXPECT_EQ(program(), 0);

    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "error at 0: 00 != C2\n\r\n");
    EXPECT_EQ(window_.progress(IDC_TASK_PROGRESS), 0U);
    std::vector<std::pair<int, int>> expected_reads(1 + EEPROM_REWRITES_ALLOWED, std::pair(0, 2048));
    expected_reads.emplace_back(5, 2);
    EXPECT_EQ(read_requests(), expected_reads);
    expect_access_bracket();
}

TEST_F(UsbFirmwareTest, ReadBackThatDeliversNothingGivesUpAfterBoundedRetries) {
    attach();
    instrument().faults().control_fail[VREQ_BUS_TRANSFER] =
        sim::Trigger{WRITE_CHUNKS_8040, -1, 1.0};  // every read-back fails

    EXPECT_EQ(program(), 0);

    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "failed\r\n");
    // The same chunk asked again and again; then the id, which cannot be read
    // either, is written inverted again (three times, read before each).
    std::vector<std::pair<int, int>> expected(EEPROM_EMPTY_READS_ALLOWED, std::pair(0, 2048));
    expected.insert(expected.end(), 3, std::pair(5, 2));
    EXPECT_EQ(read_requests(), expected);
    EXPECT_EQ(window_.progress(IDC_TASK_PROGRESS), 0U);
    expect_access_bracket();
}

TEST_F(UsbFirmwareTest, ReadBackRecoversFromAFewEmptyReads) {
    attach();
    instrument().faults().control_fail[VREQ_BUS_TRANSFER] =
        sim::Trigger::count(3, WRITE_CHUNKS_8040);

    EXPECT_EQ(program(), 1);

    EXPECT_THAT(
        read_requests(),
        ElementsAre(std::pair(0, 2048), std::pair(0, 2048), std::pair(0, 2048), std::pair(0, 2048),
                    std::pair(2048, 2048), std::pair(4096, 2048), std::pair(6144, 1896),
                    std::pair(5, 2)));
    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "done\r\n");
}

TEST_F(UsbFirmwareTest, ShortReadContinuesRightAfterTheBytesThatArrived) {
    attach();
    instrument().faults().control_short[VREQ_BUS_TRANSFER] = sim::Trigger::once(WRITE_CHUNKS_8040);

    EXPECT_EQ(program(), 1);

    EXPECT_THAT(read_requests(),
                ElementsAre(std::pair(0, 2048), std::pair(2047, 2048), std::pair(4095, 2048),
                            std::pair(6143, 1897), std::pair(5, 2)));
    EXPECT_EQ(reads().front().transferred, 2047U);
    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "done\r\n");
    const auto task = window_.progress_history(IDC_TASK_PROGRESS);
    EXPECT_THAT(std::vector(task.end() - 4, task.end()),
                ElementsAreArray(positions_at({2047, 4095, 6143, 8040}, 8040)));
}

TEST_F(UsbFirmwareTest, EmptyImageSkipsBothPhases) {
    attach();
    const auto eeprom_before = bytes_of(instrument().eeprom().bytes());

    EXPECT_EQ(program({}), 1);

    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "done\r\n");
    const auto all = transfers();
    ASSERT_EQ(all.size(), 2U);  // only the access bracket
    expect_access_bracket();
    EXPECT_THAT(window_.progress_history(IDC_OVERALL_PROGRESS), ElementsAre(122, 123, 124));
    EXPECT_THAT(window_.progress_history(IDC_TASK_PROGRESS), ElementsAre(0, 0));
    EXPECT_EQ(bytes_of(instrument().eeprom().bytes()), eeprom_before);
}

}  // namespace
}  // namespace board_test
