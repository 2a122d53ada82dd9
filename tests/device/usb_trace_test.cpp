#include "device/usb_trace.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/scripted_backend.h"
#include "support/test_clock.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Outcome = ScriptedBackend::Outcome;

std::uint32_t get_u32(const Bytes& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes.at(at)) |
           static_cast<std::uint32_t>(bytes.at(at + 1)) << 8 |
           static_cast<std::uint32_t>(bytes.at(at + 2)) << 16 |
           static_cast<std::uint32_t>(bytes.at(at + 3)) << 24;
}

std::uint64_t get_u64(const Bytes& bytes, std::size_t at) {
    return get_u32(bytes, at) | static_cast<std::uint64_t>(get_u32(bytes, at + 4)) << 32;
}

struct TraceRecord {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
    std::uint64_t id = 0;
    char type = 0;
    std::uint8_t transfer_type = 0;
    std::uint8_t endpoint = 0;
    std::uint8_t device_number = 0;
    std::uint16_t bus_number = 0;
    std::uint8_t flag_setup = 0;
    std::uint8_t flag_data = 0;
    std::uint64_t usbmon_sec = 0;
    std::uint32_t usbmon_usec = 0;
    std::int32_t status = 0;
    std::uint32_t urb_length = 0;
    std::uint32_t data_length = 0;
    Bytes setup;
    std::uint32_t transfer_flags = 0;
    Bytes data;
};

struct Trace {
    Bytes file_header;
    std::vector<TraceRecord> records;
};

Trace parse_trace(const Bytes& file) {
    Trace trace;
    trace.file_header.assign(file.begin(), file.begin() + std::min<std::size_t>(file.size(), 24));
    std::size_t at = PCAP_FILE_HEADER_SIZE;
    while (at + PCAP_RECORD_HEADER_SIZE <= file.size()) {
        const std::uint32_t included = get_u32(file, at + 8);
        EXPECT_EQ(get_u32(file, at + 12), included);
        EXPECT_GE(included, static_cast<std::uint32_t>(USBMON_HEADER_SIZE));
        const std::size_t m = at + PCAP_RECORD_HEADER_SIZE;
        TraceRecord record;
        record.ts_sec = get_u32(file, at);
        record.ts_usec = get_u32(file, at + 4);
        record.id = get_u64(file, m);
        record.type = static_cast<char>(file.at(m + 8));
        record.transfer_type = file.at(m + 9);
        record.endpoint = file.at(m + 10);
        record.device_number = file.at(m + 11);
        record.bus_number = static_cast<std::uint16_t>(file.at(m + 12) | file.at(m + 13) << 8);
        record.flag_setup = file.at(m + 14);
        record.flag_data = file.at(m + 15);
        record.usbmon_sec = get_u64(file, m + 16);
        record.usbmon_usec = get_u32(file, m + 24);
        record.status = static_cast<std::int32_t>(get_u32(file, m + 28));
        record.urb_length = get_u32(file, m + 32);
        record.data_length = get_u32(file, m + 36);
        record.setup.assign(file.begin() + static_cast<std::ptrdiff_t>(m + 40),
                            file.begin() + static_cast<std::ptrdiff_t>(m + 48));
        record.transfer_flags = get_u32(file, m + 56);
        EXPECT_EQ(included, USBMON_HEADER_SIZE + record.data_length);
        const std::size_t data_at = m + USBMON_HEADER_SIZE;
        const std::size_t data_end = std::min(file.size(), data_at + record.data_length);
        record.data.assign(file.begin() + static_cast<std::ptrdiff_t>(data_at),
                           file.begin() + static_cast<std::ptrdiff_t>(data_end));
        trace.records.push_back(record);
        at += PCAP_RECORD_HEADER_SIZE + included;
    }
    EXPECT_EQ(at, file.size()) << "trailing bytes";
    return trace;
}

class UsbTraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Build trees may run their tests side by side: the name must not collide.
        const std::string name = std::string("ombrix_trace_") +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 "_" + std::to_string(std::random_device{}()) + ".pcap";
        path = std::filesystem::temp_directory_path() / name;
        recorder = UsbTraceRecorder::create(path.string(), backend);
        ASSERT_NE(recorder, nullptr);
        usb_install_backend(recorder.get());
        clock.sleep_ms(3'600'123);
    }
    void TearDown() override {
        usb_install_backend(nullptr);
        recorder.reset();
        std::filesystem::remove(path);
    }

    // Closes the file and reads it back.
    Trace finish_trace() {
        recorder.reset();
        usb_install_backend(nullptr);
        std::ifstream file(path, std::ios::binary);
        const Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return parse_trace(bytes);
    }

    int bulk_read(Bytes& buffer, int timeout_ms) {
        int transferred = -1;
        const int result = usb_bulk_read(backend.device(), PIPE_BULK_IN, buffer.data(),
                                         static_cast<int>(buffer.size()), &transferred, timeout_ms);
        EXPECT_GE(transferred, 0);
        return result;
    }

    int bulk_write(const Bytes& data) {
        int transferred = 0;
        return usb_bulk_write(backend.device(), PIPE_BULK_OUT, data.data(),
                              static_cast<int>(data.size()), &transferred, 250);
    }

    InstalledTestClock clock;
    ScriptedBackend backend;
    std::filesystem::path path;
    std::unique_ptr<UsbTraceRecorder> recorder;
};

void expect_pair(const TraceRecord& submit, const TraceRecord& completion) {
    EXPECT_EQ(submit.type, 'S');
    EXPECT_EQ(completion.type, 'C');
    EXPECT_EQ(submit.id, completion.id);
    EXPECT_EQ(submit.endpoint, completion.endpoint);
    EXPECT_EQ(submit.transfer_type, completion.transfer_type);
    for (const TraceRecord* record : {&submit, &completion}) {
        EXPECT_EQ(record->bus_number, 1);
        EXPECT_EQ(record->device_number, 1);
        EXPECT_EQ(record->usbmon_sec, record->ts_sec);
        EXPECT_EQ(record->usbmon_usec, record->ts_usec);
        EXPECT_EQ(record->transfer_flags, (record->endpoint & 0x80) != 0 ? 0x200U : 0U);
    }
}

TEST_F(UsbTraceTest, EmptyTraceIsAPcapHeaderForUsbmon) {
    const Trace trace = finish_trace();
    const Bytes expected{0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0,   0, 0, 0,
                         0,    0,    0,    0,    0x00, 0x00, 0x04, 0x00, 220, 0, 0, 0};
    EXPECT_EQ(trace.file_header, expected);
    EXPECT_TRUE(trace.records.empty());
}

TEST_F(UsbTraceTest, UnwritablePathGivesNoRecorder) {
    EXPECT_EQ(UsbTraceRecorder::create((path / "no" / "such" / "dir").string(), backend), nullptr);
}

TEST_F(UsbTraceTest, ControlTransfersCarryTheirSetupAndData) {
    EXPECT_EQ(usb_control_transfer(backend.device(), 1, VREQ_RESTART_1, 0, 0, nullptr, nullptr), 0);
    clock.sleep_ms(1'500);
    backend.queue_control_answer({0x00, 0x00, 0x12, 0x34, 0x56});
    std::array<std::uint8_t, 16> status{};
    int length = 16;
    EXPECT_EQ(usb_control_transfer(backend.device(), 0, VREQ_FPGA_STATUS, 0x0102, 0x0304, &length,
                                   status.data()),
              0);
    EXPECT_EQ(length, 5);

    const Trace trace = finish_trace();
    ASSERT_EQ(trace.records.size(), 4U);
    const TraceRecord& restart = trace.records[0];
    expect_pair(restart, trace.records[1]);
    EXPECT_EQ(restart.transfer_type, USBMON_XFER_CONTROL);
    EXPECT_EQ(restart.endpoint, 0x00);
    EXPECT_EQ(restart.flag_setup, 0);
    EXPECT_EQ(restart.setup, (Bytes{0x40, 198, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(restart.ts_sec, 3600U);
    EXPECT_EQ(restart.ts_usec, 123'000U);
    EXPECT_EQ(trace.records[1].flag_setup, '-');
    EXPECT_EQ(trace.records[1].status, 0);

    const TraceRecord& submit = trace.records[2];
    const TraceRecord& answer = trace.records[3];
    expect_pair(submit, answer);
    EXPECT_NE(submit.id, restart.id);
    EXPECT_EQ(submit.endpoint, 0x80);
    EXPECT_EQ(submit.setup, (Bytes{0xC0, 193, 0x02, 0x01, 0x04, 0x03, 16, 0}));
    EXPECT_EQ(submit.urb_length, 16U);
    EXPECT_EQ(submit.flag_data, '<');
    EXPECT_TRUE(submit.data.empty());
    EXPECT_EQ(submit.ts_sec, 3601U);
    EXPECT_EQ(submit.ts_usec, 623'000U);
    EXPECT_EQ(answer.urb_length, 5U);
    EXPECT_EQ(answer.flag_data, 0);
    EXPECT_EQ(answer.data, (Bytes{0x00, 0x00, 0x12, 0x34, 0x56}));
}

TEST_F(UsbTraceTest, FailedControlRequestIsMarked) {
    backend.queue_control_answer({});
    int length = 2;
    std::array<std::uint8_t, 2> answer{};
    usb_control_transfer(backend.device(), 0, VREQ_BUS_TRANSFER, 0x0251, 5, &length, answer.data());
    const Trace trace = finish_trace();
    ASSERT_EQ(trace.records.size(), 2U);
    EXPECT_EQ(trace.records[1].status, USBMON_STATUS_PIPE_ERROR);
    EXPECT_EQ(trace.records[1].urb_length, 0U);
}

TEST_F(UsbTraceTest, BulkTransfersCarryTheirPayloads) {
    const Bytes command{0x47, 0x5A, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(bulk_write(command), 0);
    Bytes reply(30);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        reply[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    backend.queue_read(reply, 3);
    Bytes buffer(512);
    EXPECT_EQ(bulk_read(buffer, 10), 0);

    const Trace trace = finish_trace();
    ASSERT_EQ(trace.records.size(), 4U);
    const TraceRecord& write = trace.records[0];
    expect_pair(write, trace.records[1]);
    EXPECT_EQ(write.transfer_type, USBMON_XFER_BULK);
    EXPECT_EQ(write.endpoint, PIPE_BULK_OUT);
    EXPECT_EQ(write.flag_setup, '-');
    EXPECT_EQ(write.data, command);
    EXPECT_EQ(trace.records[1].urb_length, 20U);
    EXPECT_EQ(trace.records[1].flag_data, '>');
    EXPECT_TRUE(trace.records[1].data.empty());

    const TraceRecord& read = trace.records[2];
    const TraceRecord& arrived = trace.records[3];
    expect_pair(read, arrived);
    EXPECT_EQ(read.endpoint, PIPE_BULK_IN);
    EXPECT_EQ(read.urb_length, 512U);
    EXPECT_EQ(arrived.urb_length, 30U);
    EXPECT_EQ(arrived.data, reply);
    EXPECT_EQ(arrived.ts_usec - read.ts_usec, 3'000U);
}

TEST_F(UsbTraceTest, TimedOutReadIsOneTransferCompletedWhenCollected) {
    backend.queue_read({1, 2, 3, 4}, 25);
    Bytes first(512);
    Bytes second(512, 0xEE);
    EXPECT_EQ(bulk_read(first, 10), USB_ERR_TIMEOUT);
    EXPECT_EQ(bulk_read(second, 10), USB_ERR_TIMEOUT);
    EXPECT_EQ(bulk_read(second, 10), USB_OK);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(second[0], 0xEE);

    const Trace trace = finish_trace();
    ASSERT_EQ(trace.records.size(), 2U);
    expect_pair(trace.records[0], trace.records[1]);
    EXPECT_EQ(trace.records[1].data, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(trace.records[1].ts_usec - trace.records[0].ts_usec, 25'000U);
}

TEST_F(UsbTraceTest, FailedWritesAreRecordedWithTheirFate) {
    const Bytes data(20, 0x11);
    backend.queue_write_outcome(Outcome::timeout);
    backend.queue_write_outcome(Outcome::start_failure);
    backend.queue_write_outcome(Outcome::completion_failure);
    EXPECT_EQ(bulk_write(data), USB_ERR_TIMEOUT);
    EXPECT_EQ(bulk_write(data), USB_ERR_FAILED);
    EXPECT_EQ(bulk_write(data), USB_ERR_INCOMPLETE);
    EXPECT_EQ(backend.aborts(), 3);

    const Trace trace = finish_trace();
    ASSERT_EQ(trace.records.size(), 6U);
    EXPECT_EQ(trace.records[1].type, 'C');
    EXPECT_EQ(trace.records[1].status, USBMON_STATUS_CANCELLED);
    EXPECT_EQ(trace.records[3].type, 'E');
    EXPECT_EQ(trace.records[3].status, USBMON_STATUS_IO_ERROR);
    EXPECT_EQ(trace.records[5].type, 'C');
    EXPECT_EQ(trace.records[5].status, USBMON_STATUS_IO_ERROR);
    for (std::size_t i = 0; i < 6; i += 2) {
        EXPECT_EQ(trace.records[i].id, trace.records[i + 1].id);
        EXPECT_EQ(trace.records[i].data, data);
    }
}

TEST_F(UsbTraceTest, OpeningThroughTheRecorderFindsTheSamePipes) {
    std::string device_path = "scripted-instrument";
    UsbDevice device;
    device.path = device_path.data();
    ASSERT_EQ(usb_open_device(&device, 1), 0);
    ASSERT_EQ(device.out_pipe_count, 1);
    ASSERT_EQ(device.in_pipe_count, 1);
    EXPECT_EQ(device.out_pipes[0].endpoint_address, PIPE_BULK_OUT);
    EXPECT_EQ(device.in_pipes[0].endpoint_address, PIPE_BULK_IN);
    EXPECT_STREQ(device.serial_number, "SCR1");
    EXPECT_EQ(usb_close_device(&device), 0);

    const Trace trace = finish_trace();
    ASSERT_GE(trace.records.size(), 4U);
    ASSERT_EQ(trace.records.size() % 2, 0U);
    EXPECT_EQ(trace.records[0].setup, (Bytes{0x80, 6, 0, 1, 0, 0, 18, 0}));
    EXPECT_EQ(trace.records[1].data.size(), 18U);
    for (std::size_t i = 0; i < trace.records.size(); i += 2) {
        expect_pair(trace.records[i], trace.records[i + 1]);
    }
}

#ifndef _WIN32
std::string shell_quote(const std::string& text) {
    return "'" + text + "'";
}
#endif

TEST_F(UsbTraceTest, WiresharkDecodesTheTrace) {
#ifdef _WIN32
    GTEST_SKIP() << "tshark is checked on the native build only";
#else
    if (std::system("tshark --version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed";
    }
    usb_control_transfer(backend.device(), 1, VREQ_RESTART_2, 0, 0, nullptr, nullptr);
    bulk_write(Bytes{0x47, 0x5A, 0x00, 0x00});
    backend.queue_read({0xCA, 0xFE});
    Bytes buffer(512);
    bulk_read(buffer, 10);
    finish_trace();

    const std::filesystem::path output = path.string() + ".txt";
    const std::string command = "tshark -r " + shell_quote(path.string()) +
                                " -T fields -E separator=, -e usb.urb_type -e usb.transfer_type"
                                " -e usb.endpoint_address -e usb.urb_len -e usb.setup.bRequest"
                                " -e usb.capdata -e _ws.malformed > " +
                                shell_quote(output.string()) + " 2> /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream decoded(output);
    std::stringstream text;
    text << decoded.rdbuf();
    std::filesystem::remove(output);
    // Fields: URB type, transfer type, endpoint, URB length, bRequest, data, malformed.
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
        std::erase(line, ':');  // tshark versions differ in how they separate data bytes
        lines.push_back(line);
    }
    const std::vector<std::string> expected{
        "'S',0x02,0x00,0,197,,", "'C',0x02,0x00,0,,,",   "'S',0x03,0x02,4,,475a0000,",
        "'C',0x03,0x02,4,,,",    "'S',0x03,0x86,512,,,", "'C',0x03,0x86,2,,cafe,",
    };
    EXPECT_EQ(lines, expected) << text.str();
#endif
}

}  // namespace
