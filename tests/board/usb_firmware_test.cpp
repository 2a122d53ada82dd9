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

// The marker withdrawn, then 252 pages: one of 31 bytes (from byte 1), 250 of
// 32 and one of 8. The commit follows.
constexpr std::size_t MARKER_AND_PAGES_8040 = 253;
// Requests 176 before the first read of the read-back: the marker's write and
// read, and the pages.
constexpr std::uint32_t FIRST_BODY_READ = 254;
const std::string PROGRAMMING = "Programming USB firmware ... ";
const char* const PROGRAMMING_FAILED = "Programming USB firmware ... failed";
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

    std::size_t writes_so_far() {
        std::size_t count = 0;
        for (const sim::TransferRecord& record : instrument().transfers()) {
            count += is_bus_write(record) && record.setup.value == 0x0651 ? 1 : 0;
        }
        return count;
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

TEST_F(UsbFirmwareTest, WithdrawsTheBootMarkerFirstWritesInPagesAndCommitsItLast) {
    attach();
    const auto& image = images_.usb_firmware;
    ASSERT_EQ(program(), 1);

    // The first byte made one that boots nothing and read back; then the rest
    // page by page (the first page from byte 1), read back; then the marker
    // alone, read back.
    const auto written = writes();
    ASSERT_EQ(written.size(), MARKER_AND_PAGES_8040 + 1);
    EXPECT_EQ(written.front().setup.index, 0);
    EXPECT_EQ(written.front().data, std::vector<std::uint8_t>{0xFF});
    for (std::size_t k = 1; k + 1 < written.size(); ++k) {
        const std::size_t offset = k == 1 ? 1 : (k - 1) * 32;
        const std::size_t size = std::min<std::size_t>(k == 1 ? 31 : 32, image.size() - offset);
        SCOPED_TRACE(k);
        EXPECT_EQ(written[k].setup.request_type, 0x40);
        EXPECT_EQ(written[k].setup.value, 0x0651);
        EXPECT_EQ(written[k].setup.index, offset);
        EXPECT_EQ(written[k].data,
                  std::vector<std::uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(offset),
                                            image.begin() + static_cast<std::ptrdiff_t>(offset + size)));
    }
    EXPECT_EQ(written[written.size() - 2].setup.length, 8);
    EXPECT_EQ(written.back().setup.index, 0);
    EXPECT_EQ(written.back().data, std::vector<std::uint8_t>{0xC2});
    for (const sim::TransferRecord& read : reads()) {
        EXPECT_EQ(read.setup.request_type, 0xC0);
        EXPECT_EQ(read.setup.value, 0x0251);
    }
    EXPECT_THAT(read_requests(),
                ElementsAre(std::pair(0, 1), std::pair(1, 2048), std::pair(2049, 2048),
                            std::pair(4097, 2048), std::pair(6145, 1895), std::pair(0, 1)));
    // The whole read-back came before the marker was written.
    EXPECT_LT(reads()[4].start_us, written.back().start_us);
    expect_access_bracket();
    EXPECT_EQ(usb_firmware_compare(device_, image, nullptr), 1);
}

// Power lost in the middle of any page write leaves the controller something
// the program reaches at the next power-up: the older firmware, the new one,
// or the bare controller; never a half-written image it would run.
TEST_F(UsbFirmwareTest, APowerCutAtAnyPageWriteLeavesAControllerThatStarts) {
    attach(sim::InitialState{sim::Contents::current, sim::Contents::older, sim::Contents::current});
    struct Cut {
        std::size_t write;
        std::size_t prefix;
        sim::ControllerState state;
    };
    const std::size_t commit = MARKER_AND_PAGES_8040;
    for (const Cut cut : {Cut{0, 0, sim::ControllerState::instrument},
                          Cut{0, 1, sim::ControllerState::bare},
                          Cut{1, 7, sim::ControllerState::bare},
                          Cut{150, 20, sim::ControllerState::bare},
                          Cut{commit, 0, sim::ControllerState::bare},
                          Cut{commit, 1, sim::ControllerState::instrument}}) {
        SCOPED_TRACE(testing::Message() << "write " << cut.write << ", prefix " << cut.prefix);
        instrument().faults().power_loss_at_eeprom_write = instrument().eeprom_write_count() + cut.write;
        instrument().faults().eeprom_cut_prefix_bytes = cut.prefix;
        const std::size_t writes_before = writes_so_far();
        EXPECT_EQ(program(), 0);
        EXPECT_EQ(writes_so_far() - writes_before, cut.write + 1) << "nothing after the cut";
        EXPECT_EQ(instrument().state_at_power_up(), cut.state);
        // Power back: the controller comes up as it said.
        clock_.advance_us(1'000'000);
        backend_.settle();
        EXPECT_EQ(instrument().bare(), cut.state == sim::ControllerState::bare);
        EXPECT_EQ(instrument().shows_interface(), cut.state == sim::ControllerState::instrument);
        // The next cut starts from the older image again.
        instrument().eeprom().write(0, sim::older_usb_firmware(images_.usb_firmware));
        power_cycle_and_reopen();
    }
}

// A page stored wrong once, the first one above all: written again, and the
// write succeeds.
TEST_F(UsbFirmwareTest, AFirstPageStoredWrongOnceIsWrittenAgainAndTheWriteSucceeds) {
    attach(sim::InitialState{sim::Contents::current, sim::Contents::older, sim::Contents::current});
    instrument().faults().eeprom_write_lost = sim::Trigger::once(1);

    EXPECT_EQ(program(), 1);

    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "done\r\n");
    const auto& image = images_.usb_firmware;
    EXPECT_EQ(bytes_of(instrument().eeprom().bytes().first(image.size())), image);
    const auto written = writes();
    ASSERT_EQ(written.size(), MARKER_AND_PAGES_8040 + 2U);  // one rewrite, then the marker
    EXPECT_EQ(written[MARKER_AND_PAGES_8040].setup.index, 1);
}

// A write that stops or reads back wrong leaves an EEPROM whose first byte
// boots nothing, and that the check finds out of date.
struct FailedWrite {
    const char* name;
    void (*arm)(sim::Faults&);
    const char* log_tail;
};

class UsbFirmwareFailedWrite : public UsbFirmwareTest,
                               public ::testing::WithParamInterface<FailedWrite> {};

TEST_P(UsbFirmwareFailedWrite, LeavesAnEepromThatBootsNothing) {
    attach(sim::InitialState{sim::Contents::current, sim::Contents::older, sim::Contents::current});
    GetParam().arm(instrument().faults());

    EXPECT_EQ(program(), 0);

    EXPECT_THAT(window_.log(), ::testing::HasSubstr(GetParam().log_tail));
    instrument().faults() = sim::Faults{};
    EXPECT_NE(instrument().eeprom().bytes()[0], 0xC2);
    EXPECT_EQ(instrument().state_at_power_up(), sim::ControllerState::bare);
    expect_access_bracket();
    EXPECT_EQ(usb_firmware_compare(device_, images_.usb_firmware, nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UsbFirmwareFailedWrite,
    ::testing::Values(
        FailedWrite{"ReadBackDifference",
                    [](sim::Faults& f) { f.eeprom_read_corruption[3000] = 0; }, "error at 3000"},
        FailedWrite{"PagesStoredWrongEveryTime",
                    [](sim::Faults& f) { f.eeprom_write_lost = sim::Trigger{100, -1, 1.0}; },
                    "error at 3168"},
        FailedWrite{"MarkerStoredWrongEveryTime",
                    [](sim::Faults& f) {
                        f.eeprom_write_lost = sim::Trigger{MARKER_AND_PAGES_8040, -1, 1.0};
                    },
                    "error at 0: 3D != C2"},
        FailedWrite{"PageRefusedMidway",
                    [](sim::Faults& f) { f.eeprom_write_nack = sim::AddressRange{320, 320}; },
                    PROGRAMMING_FAILED}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(UsbFirmwareTest, PausesOneMillisecondAfterEveryWriteAndRead) {
    attach();
    const std::uint64_t start = now_us();
    ASSERT_EQ(program(), 1);

    const auto written = writes();
    for (std::size_t k = 2; k + 1 < written.size(); ++k) {
        EXPECT_EQ(written[k].start_us - written[k - 1].start_us, 1000U) << k;
    }
    // With instant transfers, the pauses are all the time the operation
    // takes: every write, and every read of the read-back and of the marker.
    EXPECT_EQ(now_us() - start, (MARKER_AND_PAGES_8040 + 1 + 4 + 1) * 1000U);
}

TEST_F(UsbFirmwareTest, CurrentTaskBarFollowsEachPageOfBothPhases) {
    attach();
    ASSERT_EQ(program(), 1);

    std::vector<int> write_ends;
    for (int end = 32; end <= 8032; end += 32) {
        write_ends.push_back(end);
    }
    write_ends.push_back(8040);
    std::vector<std::uint32_t> expected{0};
    for (const std::uint32_t position : positions_at(write_ends, 8040)) {
        expected.push_back(position);
    }
    expected.push_back(0);
    for (const std::uint32_t position : positions_at({2049, 4097, 6145, 8040}, 8040)) {
        expected.push_back(position);
    }
    EXPECT_THAT(window_.progress_history(IDC_TASK_PROGRESS), ElementsAreArray(expected));
    EXPECT_EQ(window_.progress(IDC_TASK_PROGRESS), 128U);
}

TEST_F(UsbFirmwareTest, ImageOfWholePagesEndsWithAFullPage) {
    attach();
    const std::vector<std::uint8_t> image(images_.usb_firmware.begin(),
                                          images_.usb_firmware.begin() + 4096);
    ASSERT_EQ(program(image), 1);

    const auto written = writes();
    ASSERT_EQ(written.size(), 130U);
    EXPECT_EQ(written[128].setup.index, 4064);
    EXPECT_EQ(written[128].setup.length, 32);
    EXPECT_EQ(written[129].setup.index, 0);
    EXPECT_THAT(read_requests(), ElementsAre(std::pair(0, 1), std::pair(1, 2048),
                                             std::pair(2049, 2047), std::pair(0, 1)));
    EXPECT_EQ(bytes_of(instrument().eeprom().bytes().first(image.size())), image);
}

TEST_F(UsbFirmwareTest, AMarkerThatCannotBeWithdrawnLeavesTheOldImageWhole) {
    attach(sim::InitialState{sim::Contents::current, sim::Contents::older, sim::Contents::current});
    const auto before = bytes_of(instrument().eeprom().bytes());
    instrument().faults().eeprom_write_nack = sim::AddressRange{0, 0};

    EXPECT_EQ(program(), 0);

    EXPECT_EQ(window_.log(), PROGRAMMING_FAILED + std::string("\r\n"));
    EXPECT_EQ(writes().size(), 1U) << "nothing after the refused marker";
    EXPECT_TRUE(reads().empty());
    EXPECT_EQ(bytes_of(instrument().eeprom().bytes()), before);
    EXPECT_THAT(window_.progress_history(IDC_OVERALL_PROGRESS), ElementsAre(122, 123, 124));
    EXPECT_THAT(window_.progress_history(IDC_TASK_PROGRESS), ElementsAre(0, 0));
    expect_access_bracket();
}

TEST_F(UsbFirmwareTest, WriteRefusedMidwayStopsAtThatPage) {
    attach();
    instrument().faults().eeprom_write_nack = sim::AddressRange{320, 320};  // the 11th page

    EXPECT_EQ(program(), 0);

    EXPECT_EQ(writes().size(), 12U);  // the marker, ten pages, the refused one
    EXPECT_EQ(writes().back().setup.index, 320);
    EXPECT_THAT(read_requests(), ElementsAre(std::pair(0, 1)));
    EXPECT_EQ(window_.log(), PROGRAMMING_FAILED + std::string("\r\n"));
    const auto task = window_.progress_history(IDC_TASK_PROGRESS);
    ASSERT_EQ(task.size(), 12U);  // entry, ten accepted pages, reset
    EXPECT_EQ(task[10], 320U * 128 / 8040);
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
    // The read-back; the page holding byte 3000 written again and read again
    // as often as rewrites are allowed; then the marker withdrawn once more.
    std::vector<std::pair<int, int>> expected_reads = {{0, 1}, {1, 2048}, {2049, 2048}};
    expected_reads.insert(expected_reads.end(), EEPROM_REWRITES_ALLOWED, std::pair(2976, 2048));
    expected_reads.emplace_back(0, 1);
    EXPECT_EQ(read_requests(), expected_reads);
    const auto written = writes();
    ASSERT_EQ(written.size(), MARKER_AND_PAGES_8040 + EEPROM_REWRITES_ALLOWED + 1);
    for (std::size_t k = MARKER_AND_PAGES_8040; k + 1 < written.size(); ++k) {
        EXPECT_EQ(written[k].setup.index, 2976);
    }
    EXPECT_EQ(written.back().data, std::vector<std::uint8_t>{0xFF});
    const auto task = window_.progress_history(IDC_TASK_PROGRESS);
    EXPECT_EQ(task.back(), 3000U * 128 / 8040);
    EXPECT_EQ(window_.progress(IDC_OVERALL_PROGRESS), 124U);
    expect_access_bracket();
}

TEST_F(UsbFirmwareTest, ReadBackThatDeliversNothingGivesUpAfterBoundedRetries) {
    attach();
    // Every request 176 after the marker's check and the pages fails.
    instrument().faults().control_fail[VREQ_BUS_TRANSFER] = sim::Trigger{FIRST_BODY_READ, -1, 1.0};

    EXPECT_EQ(program(), 0);

    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "failed\r\n");
    std::vector<std::pair<int, int>> expected{{0, 1}};
    expected.insert(expected.end(), EEPROM_EMPTY_READS_ALLOWED, std::pair(1, 2048));
    EXPECT_EQ(read_requests(), expected);
    EXPECT_EQ(instrument().eeprom().bytes()[0], 0xFF) << "never committed";
    expect_access_bracket();
}

TEST_F(UsbFirmwareTest, ReadBackRecoversFromAFewEmptyReads) {
    attach();
    instrument().faults().control_fail[VREQ_BUS_TRANSFER] = sim::Trigger::count(3, FIRST_BODY_READ);

    EXPECT_EQ(program(), 1);

    EXPECT_THAT(read_requests(),
                ElementsAre(std::pair(0, 1), std::pair(1, 2048), std::pair(1, 2048), std::pair(1, 2048),
                            std::pair(1, 2048), std::pair(2049, 2048), std::pair(4097, 2048),
                            std::pair(6145, 1895), std::pair(0, 1)));
    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "done\r\n");
}

TEST_F(UsbFirmwareTest, ShortReadContinuesRightAfterTheBytesThatArrived) {
    attach();
    instrument().faults().control_short[VREQ_BUS_TRANSFER] = sim::Trigger::once(FIRST_BODY_READ);

    EXPECT_EQ(program(), 1);

    EXPECT_THAT(read_requests(),
                ElementsAre(std::pair(0, 1), std::pair(1, 2048), std::pair(2048, 2048),
                            std::pair(4096, 2048), std::pair(6144, 1896), std::pair(0, 1)));
    EXPECT_EQ(reads()[1].transferred, 2047U);
    EXPECT_EQ(window_.log(), PROGRAMMING + "done\r\n" + VERIFYING + "done\r\n");
    const auto task = window_.progress_history(IDC_TASK_PROGRESS);
    EXPECT_THAT(std::vector(task.end() - 4, task.end()),
                ElementsAreArray(positions_at({2048, 4096, 6144, 8040}, 8040)));
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
