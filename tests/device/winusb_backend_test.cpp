// The WinUSB backend's own behaviour, seen from the system calls it makes:
// SetupAPI enumeration and its messages, how the device and its pipes are
// opened and released, and the overlapped transfer paths the simulated
// instrument alone does not reach.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "device/usb.h"
#include "device/winusb/winusb_backend.h"
#include "sim/sim.h"
#include "support/winusb_standin.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t FLASH_IDENTIFY = 0x01000000;
constexpr DWORD PRESENT_INTERFACES = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

class WinUsbBackendTest : public testing::Test {
  protected:
    WinUsbBackendTest() {
        clock_install(&clock_);
        usb_install_backend(&backend_);
    }

    ~WinUsbBackendTest() override {
        for (UsbDevice* device : opened_) {
            usb_close_device(device);
        }
        usb_free_device_list(list_);
        usb_install_backend(nullptr);
        clock_install(nullptr);
    }

    static sim::InstrumentConfig instant(std::vector<sim::EndpointSpec> endpoints = {}) {
        sim::InstrumentConfig config;
        config.timing = sim::Timing::instant();
        if (!endpoints.empty()) {
            config.usb.configuration_descriptor = sim::make_configuration_descriptor(endpoints);
        }
        return config;
    }

    sim::Instrument& attach(sim::InstrumentConfig config = instant()) {
        return bus_.attach(std::move(config), images_.set());
    }

    // Lists the instruments; returns what was printed meanwhile.
    std::string list_devices() {
        testing::internal::CaptureStdout();
        const char* guid = INSTRUMENT_INTERFACE_GUID;
        usb_find_devices(&guid, 1, &list_);
        return testing::internal::GetCapturedStdout();
    }

    UsbDevice* open_first() {
        list_devices();
        if (list_ == nullptr || usb_open_device(list_, 1) != 0) {
            return nullptr;
        }
        opened_.push_back(list_);
        return list_;
    }

    std::vector<std::string> listed_paths() const {
        std::vector<std::string> paths;
        for (const UsbDevice* entry = list_; entry != nullptr; entry = entry->next) {
            paths.emplace_back(entry->path);
        }
        return paths;
    }

    int write(UsbDevice* device, const Bytes& bytes, int timeout_ms = 250) {
        int transferred = -1;
        const int result = usb_bulk_write(device, PIPE_BULK_OUT, bytes.data(),
                                          static_cast<int>(bytes.size()), &transferred, timeout_ms);
        return result != USB_OK ? result : transferred;
    }

    // Loads the flash core so that the instrument answers on 0x86.
    void run_flash_core(UsbDevice* device) {
        const Bytes stream = sim::flash_core_upload_stream(images_.flash_core);
        const std::uint32_t words = sim::flash_core_word_count(images_.flash_core);
        std::uint8_t reply[16] = {};
        int length = 16;
        usb_control_transfer(device, 0, VREQ_FPGA_CONFIG, static_cast<int>(words & 0xFFFF),
                             static_cast<int>(words >> 16), &length, reply);
        for (std::size_t at = 0; at < stream.size(); at += 4096) {
            const auto begin = stream.begin() + static_cast<std::ptrdiff_t>(at);
            const std::size_t chunk = std::min<std::size_t>(4096, stream.size() - at);
            ASSERT_EQ(write(device, Bytes(begin, begin + static_cast<std::ptrdiff_t>(chunk)), 1000),
                      static_cast<int>(chunk));
        }
        for (int poll = 0; poll < 20 && (reply[2] & 0x12) != 0x12; ++poll) {
            length = 16;
            usb_control_transfer(device, 0, VREQ_FPGA_STATUS, 0, 0, &length, reply);
        }
        ASSERT_EQ(reply[2] & 0x12, 0x12) << "the flash core did not start";
    }

    static bool released_before(const std::vector<std::string>& releases, const std::string& first,
                                const std::string& second) {
        const auto a = std::find(releases.begin(), releases.end(), first);
        const auto b = std::find(releases.begin(), releases.end(), second);
        return a != releases.end() && b != releases.end() && a < b;
    }

    sim::VirtualClock clock_;
    sim::SimBackend bus_{clock_};
    WinUsbStandin standin_{bus_};
    WinUsbBackend backend_{standin_.api()};
    sim::SyntheticImages images_;
    UsbDevice* list_ = nullptr;
    std::vector<UsbDevice*> opened_;
};

// ---- discovery ----

TEST_F(WinUsbBackendTest, ListsThePresentInterfacesOfTheClassAndReleasesEverything) {
    const std::string first = attach().path();
    const std::string second = attach().path();
    EXPECT_EQ(list_devices(), "");
    EXPECT_EQ(listed_paths(), (std::vector<std::string>{first, second}));

    ASSERT_EQ(standin_.class_devs_calls.size(), 1U);
    const WinUsbStandin::ClassDevsCall& call = standin_.class_devs_calls[0];
    EXPECT_EQ(call.class_guid.Data1, 0x461498B6U);
    EXPECT_EQ(call.class_guid.Data2, 0xD2FB);
    EXPECT_EQ(call.class_guid.Data3, 0x40C5);
    EXPECT_EQ(call.class_guid.Data4[0], 0x95);
    EXPECT_EQ(call.class_guid.Data4[7], 0x0E);
    EXPECT_TRUE(call.enumerator_null);
    EXPECT_TRUE(call.parent_null);
    EXPECT_EQ(call.flags, PRESENT_INTERFACES);

    // Probing opens without pipes and closes again.
    EXPECT_EQ(standin_.open_device_info_sets(), 0);
    EXPECT_EQ(standin_.open_files(), 0);
    EXPECT_EQ(standin_.open_interfaces(), 0);
    EXPECT_TRUE(standin_.event_calls.empty());
}

TEST_F(WinUsbBackendTest, ClassThatCannotBeListedIsReportedOnOneLine) {
    attach();
    standin_.faults.class_devs_fail = true;
    EXPECT_EQ(list_devices(), "SetupDiGetClassDevs error\n");
    EXPECT_EQ(list_, nullptr);
}

TEST_F(WinUsbBackendTest, DetailSizeErrorIsReportedAndEndsTheClass) {
    const std::string first = attach().path();
    attach();
    attach();
    standin_.faults.detail_size_fail_at = 1;
    EXPECT_EQ(list_devices(), "SetupDiGetDeviceInterfaceDetail error 1\n");
    EXPECT_EQ(listed_paths(), (std::vector<std::string>{first}));
    EXPECT_EQ(standin_.open_device_info_sets(), 0);
}

TEST_F(WinUsbBackendTest, FailedDetailReadEndsTheClassSilently) {
    const std::string first = attach().path();
    attach();
    standin_.faults.detail_fail_at = 1;
    EXPECT_EQ(list_devices(), "");
    EXPECT_EQ(listed_paths(), (std::vector<std::string>{first}));
    EXPECT_EQ(standin_.open_device_info_sets(), 0);
}

// ---- opening ----

TEST_F(WinUsbBackendTest, OpensThePathForSharedOverlappedReadAndWrite) {
    const std::string path = attach().path();
    ASSERT_NE(open_first(), nullptr);
    const WinUsbStandin::CreateFileCall& call = standin_.create_file_calls.back();
    EXPECT_EQ(call.path, path);
    EXPECT_EQ(call.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(call.share_mode, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_TRUE(call.security_null);
    EXPECT_EQ(call.creation, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(call.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
    EXPECT_TRUE(call.template_null);
}

TEST_F(WinUsbBackendTest, PathThatWillNotOpenGivesMinusOne) {
    sim::Instrument& instrument = attach();
    list_devices();
    ASSERT_NE(list_, nullptr);
    const auto unplugged = bus_.detach(instrument);
    const std::size_t files_before = standin_.create_file_calls.size();
    EXPECT_EQ(usb_open_device(list_, 1), -1);
    EXPECT_EQ(list_->context, nullptr);
    EXPECT_EQ(standin_.open_files(), 0);
    EXPECT_EQ(standin_.create_file_calls.size() - files_before, 1U);  // not tried again
}

// Another program holding the device makes CreateFile fail with access denied:
// tried again for a moment, as a refused interface is.
TEST_F(WinUsbBackendTest, DeviceHeldByAnotherProgramGivesMinusTwoUnlessReleasedMeanwhile) {
    sim::Instrument& instrument = attach();
    list_devices();
    ASSERT_NE(list_, nullptr);
    bus_.set_held_open(instrument, true);
    const std::size_t files_before = standin_.create_file_calls.size();
    EXPECT_EQ(usb_open_device(list_, 1), -2);
    EXPECT_EQ(list_->context, nullptr);
    EXPECT_EQ(standin_.open_files(), 0);
    EXPECT_GT(standin_.create_file_calls.size() - files_before, 1U);

    bus_.hold_open_until(instrument, clock_.now_us() + 100'000);
    ASSERT_EQ(usb_open_device(list_, 1), 0);
    opened_.push_back(list_);
}

TEST_F(WinUsbBackendTest, RefusedInterfaceGivesMinusTwoAndClosesTheFile) {
    attach();
    list_devices();
    ASSERT_NE(list_, nullptr);
    standin_.faults.initialize_fail = true;
    standin_.releases.clear();
    const std::size_t files_before = standin_.create_file_calls.size();
    EXPECT_EQ(usb_open_device(list_, 1), -2);
    EXPECT_EQ(list_->context, nullptr);
    EXPECT_EQ(standin_.open_files(), 0);
    // Tried again while the interface stays refused (another program may
    // hold it for a moment); every attempt closes the file it opened.
    const std::size_t attempts = standin_.create_file_calls.size() - files_before;
    EXPECT_GT(attempts, 1U);
    EXPECT_EQ(standin_.releases, std::vector<std::string>(attempts, "CloseHandle file"));

    usb_free_device_list(list_);
    list_ = nullptr;
    list_devices();
    EXPECT_EQ(list_, nullptr);  // a refused interface is not listed
}

TEST_F(WinUsbBackendTest, DescriptorsAreReadInLanguageZeroIntoTheScratchBuffer) {
    sim::InstrumentConfig config = instant();
    config.usb.serial = std::string(40, 'S');
    attach(config);
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(std::string(device->serial_number), std::string(32, 'S'));

    const auto& calls = standin_.descriptor_calls;
    ASSERT_EQ(calls.size(), 6U);  // the probe while listing, then the open
    for (std::size_t at = 0; at < calls.size(); at += 3) {
        EXPECT_EQ(calls[at].type, DESCRIPTOR_TYPE_DEVICE);
        EXPECT_EQ(calls[at].buffer_length, 18U);
        EXPECT_EQ(calls[at + 1].type, DESCRIPTOR_TYPE_STRING);
        EXPECT_EQ(calls[at + 1].index, sim::STRING_SERIAL);
        EXPECT_EQ(calls[at + 1].buffer_length, 4096U);
        EXPECT_EQ(calls[at + 2].type, DESCRIPTOR_TYPE_CONFIGURATION);
        EXPECT_EQ(calls[at + 2].buffer_length, 4096U);
    }
    for (const auto& call : calls) {
        EXPECT_EQ(call.language_id, 0);
    }
}

// ---- pipes ----

TEST_F(WinUsbBackendTest, PoliciesAreSetOnOutPipesOnlyWithTheirValues) {
    attach(instant({{0x02, 2, 512}, {0x86, 2, 512}, {0x04, 3, 64}, {0x83, 3, 64}}));
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);

    using Call = std::tuple<UCHAR, ULONG, std::vector<UCHAR>>;
    std::vector<Call> set;
    for (const auto& call : standin_.policies_set) {
        set.emplace_back(call.pipe_id, call.policy, call.value);
    }
    const std::vector<Call> expected = {
        {0x02, AUTO_CLEAR_STALL, {1}}, {0x02, ALLOW_PARTIAL_READS, {0}}, {0x02, RAW_IO, {1}},
        {0x04, AUTO_CLEAR_STALL, {1}}, {0x04, ALLOW_PARTIAL_READS, {0}}, {0x04, RAW_IO, {1}}};
    EXPECT_EQ(set, expected);

    std::vector<UCHAR> read_from;
    for (const auto& call : standin_.policies_read) {
        EXPECT_EQ(call.policy, static_cast<ULONG>(MAXIMUM_TRANSFER_SIZE));
        read_from.push_back(call.pipe_id);
    }
    EXPECT_EQ(read_from, (std::vector<UCHAR>{0x02, 0x04, 0x86, 0x83}));
    for (const PipeState* pipe : {&device->out_pipes[0], &device->out_pipes[1],
                                  &device->in_pipes[0], &device->in_pipes[1]}) {
        EXPECT_EQ(pipe->max_transfer_size, standin_.max_transfer_size);
    }
}

TEST_F(WinUsbBackendTest, EachPipeHasItsOwnAutoResetEventClosedBeforeTheDevice) {
    attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(standin_.event_calls.size(), 2U);
    for (const auto& call : standin_.event_calls) {
        EXPECT_TRUE(call.security_null);
        EXPECT_FALSE(call.manual_reset);
        EXPECT_FALSE(call.initial_state);
        EXPECT_TRUE(call.name_null);
    }
    EXPECT_EQ(standin_.open_events(), 2);
    EXPECT_NE(device->out_pipes[0].context, device->in_pipes[0].context);

    standin_.releases.clear();
    ASSERT_EQ(usb_close_device(device), 0);
    opened_.clear();
    // No transfer has used either event yet, so the stand-in names neither pipe.
    EXPECT_EQ(standin_.releases, (std::vector<std::string>{"CloseHandle event", "CloseHandle event",
                                                           "WinUsb_Free", "CloseHandle file"}));
    EXPECT_EQ(standin_.open_events(), 0);
    EXPECT_EQ(standin_.open_interfaces(), 0);
    EXPECT_EQ(standin_.open_files(), 0);
}

TEST_F(WinUsbBackendTest, PipeWithoutAnEventOpensButCannotTransfer) {
    attach();
    standin_.faults.create_event_fail = true;
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(write(device, sim::make_command_frame(FLASH_IDENTIFY)), USB_ERR_FAILED);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(standin_.writes.empty());
}

TEST_F(WinUsbBackendTest, OnlyBulkAndInterruptEndpointsBecomePipes) {
    attach(instant({{0x02, 2, 512}, {0x81, 1, 1024}, {0x86, 2, 512}}));
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->in_pipe_count, 1);
    EXPECT_EQ(standin_.event_calls.size(), 2U);
    for (const auto& call : standin_.policies_read) {
        EXPECT_NE(call.pipe_id, 0x81);
    }
}

TEST_F(WinUsbBackendTest, ConfigurationShorterThanItsEndpointCountGivesThePipesThatArrived) {
    sim::InstrumentConfig config = instant();
    const std::vector<sim::EndpointSpec> endpoints = {{0x02, 2, 512}, {0x86, 2, 512}};
    config.usb.configuration_descriptor = sim::make_configuration_descriptor(endpoints, 9);
    attach(config);
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->out_pipe_count, 1);
    EXPECT_EQ(device->in_pipe_count, 1);
    EXPECT_EQ(standin_.event_calls.size(), 2U);
}

// ---- transfers ----

TEST_F(WinUsbBackendTest, ControlRequestsBlockWithoutAnOverlapped) {
    attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    std::uint8_t reply[16];
    int length = 16;
    usb_control_transfer(device, 0, VREQ_FPGA_CONFIG, 0, FPGA_CONFIG_HALT, &length, reply);
    const WinUsbStandin::ControlCall& call = standin_.control_calls.back();
    EXPECT_EQ(call.setup.RequestType, 0xC0);
    EXPECT_EQ(call.setup.Request, VREQ_FPGA_CONFIG);
    EXPECT_EQ(call.setup.Value, 0);
    EXPECT_EQ(call.setup.Index, FPGA_CONFIG_HALT);
    EXPECT_EQ(call.setup.Length, 16);
    EXPECT_EQ(call.buffer_length, 16U);
    EXPECT_FALSE(call.overlapped);
}

TEST_F(WinUsbBackendTest, TransfersCompletedAtStartAreStillCollected) {
    attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    run_flash_core(device);
    standin_.faults.complete_at_start = true;
    ASSERT_EQ(write(device, sim::make_command_frame(FLASH_IDENTIFY)), 20);
    clock_.advance_us(1000);  // the reply is queued before the read starts

    std::uint8_t reply[512] = {};
    int transferred = -1;
    const int completed_before = standin_.transfers_completed_at_start;
    EXPECT_EQ(usb_bulk_read(device, PIPE_BULK_IN, reply, 512, &transferred, 10), USB_OK);
    EXPECT_EQ(standin_.transfers_completed_at_start, completed_before + 1);
    EXPECT_EQ(transferred, 20);
    EXPECT_EQ(reply[0], 0x47);
    EXPECT_EQ(reply[16], 0x20);
    EXPECT_EQ(device->in_pipes[0].read_pending, 0);
}

TEST_F(WinUsbBackendTest, WriteThatFailsToStartKeepsItsErrorAfterTheAbort) {
    attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    standin_.faults.next_start_error = ERROR_SEM_TIMEOUT;
    const std::uint64_t before_us = clock_.now_us();
    const int result = write(device, sim::make_command_frame(FLASH_IDENTIFY));
    const DWORD error = ::GetLastError();
    EXPECT_EQ(result, USB_ERR_FAILED);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(standin_.aborts, (std::vector<UCHAR>{0x02}));
    EXPECT_EQ(clock_.now_us() - before_us, 10'000U);
}

TEST_F(WinUsbBackendTest, ReadThatFailsToStartKeepsItsErrorAndPausesOneMillisecond) {
    attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    standin_.faults.next_start_error = ERROR_BAD_COMMAND;
    std::uint8_t buffer[512];
    int transferred = -1;
    const std::uint64_t before_us = clock_.now_us();
    const int result = usb_bulk_read(device, PIPE_BULK_IN, buffer, 512, &transferred, 10);
    const DWORD error = ::GetLastError();
    EXPECT_EQ(result, USB_ERR_FAILED);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_COMMAND));
    EXPECT_EQ(transferred, 0);
    EXPECT_EQ(device->in_pipes[0].read_pending, 0);
    EXPECT_EQ(standin_.aborts, (std::vector<UCHAR>{0x86}));
    EXPECT_EQ(clock_.now_us() - before_us, 1'000U);
}

TEST_F(WinUsbBackendTest, PartialWriteReportsWhatTheStackTook) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    run_flash_core(device);
    instrument.faults().partial_write = sim::Trigger::once();
    instrument.faults().partial_write_bytes = 7;
    EXPECT_EQ(write(device, sim::make_command_frame(FLASH_IDENTIFY)), 7);
    EXPECT_EQ(standin_.writes.back().length, 20U);
    EXPECT_TRUE(standin_.writes.back().overlapped);
}

TEST_F(WinUsbBackendTest, CountsBeyondTheBufferAreNotBelieved) {
    attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    run_flash_core(device);
    ASSERT_EQ(write(device, sim::make_command_frame(FLASH_IDENTIFY)), 20);
    standin_.faults.overstated_count = 5000;

    std::uint8_t reply[16];
    int length = 16;
    usb_control_transfer(device, 0, VREQ_FPGA_STATUS, 0, 0, &length, reply);
    EXPECT_EQ(length, 16);
    std::vector<std::uint8_t> buffer(512);
    int transferred = -1;
    EXPECT_EQ(usb_bulk_read(device, PIPE_BULK_IN, buffer.data(), 512, &transferred, 100), USB_OK);
    EXPECT_EQ(transferred, 512);
}

TEST_F(WinUsbBackendTest, ClosingWithAReadInFlightAbortsBeforeTheEventCloses) {
    attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    std::uint8_t buffer[512];
    int transferred = 0;
    ASSERT_EQ(usb_bulk_read(device, PIPE_BULK_IN, buffer, 512, &transferred, 10), USB_ERR_TIMEOUT);
    standin_.releases.clear();
    ASSERT_EQ(usb_close_device(device), 0);
    opened_.clear();
    EXPECT_TRUE(
        released_before(standin_.releases, "WinUsb_AbortPipe 0x86", "CloseHandle event 0x86"));
    EXPECT_EQ(standin_.open_events(), 0);
}

TEST_F(WinUsbBackendTest, CancellationThatNeverReportsKeepsTheOverlappedFromReuse) {
    attach();
    UsbDevice* device = open_first();
    ASSERT_NE(device, nullptr);
    standin_.faults.abort_never_completes = true;
    // A halted FPGA takes nothing from the OUT pipe.
    EXPECT_EQ(write(device, Bytes(64, 0xFF), 100), USB_ERR_TIMEOUT);
    // The OVERLAPPED still belongs to the driver: no second transfer on it.
    EXPECT_EQ(write(device, Bytes(64, 0xFF), 100), USB_ERR_FAILED);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(standin_.writes.size(), 1U);

    standin_.releases.clear();
    ASSERT_EQ(usb_close_device(device), 0);
    opened_.clear();
    // Its event is left to the driver; the unused IN pipe's goes as usual.
    EXPECT_EQ(standin_.releases,
              (std::vector<std::string>{"WinUsb_AbortPipe 0x02", "CloseHandle event", "WinUsb_Free",
                                        "CloseHandle file"}));
    EXPECT_EQ(standin_.open_events(), 1);
}

}  // namespace
#endif  // _WIN32
