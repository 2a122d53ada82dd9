// The libusb backend itself, through real libusb against umockdev's stand-in
// devices: which devices are instruments, the port path and its stability
// across a re-plug, the interface held by another program, and that every
// ioctl it issues is one usbfs knows. The transfer contract runs in the
// device contract suite, which this executable also holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/libusb/libusb_backend.h"
#include "sim/sim.h"
#include "support/umockdev_test.h"

namespace {

class LibusbBackendTest : public UmockdevTest {
  protected:

    sim::Instrument& attach(sim::InstrumentConfig config = instant()) {
        return harness_->bus().attach(std::move(config), images_.set());
    }
    static sim::InstrumentConfig instant() {
        sim::InstrumentConfig config;
        config.timing = sim::Timing::instant();
        return config;
    }
    // The port paths libusb itself lists.
    std::vector<std::string> port_paths() {
        harness_->usbfs().sync();
        std::vector<std::string> paths;
        Guid instrument_class;
        _parse_guid(INSTRUMENT_INTERFACE_GUID, &instrument_class);
        harness_->backend().libusb().list_interfaces(instrument_class, paths);
        return paths;
    }
    int open_port(UsbDevice& device, std::string path) {
        device.path = path.data();
        const int opened = harness_->backend().libusb().open(device);
        device.path = nullptr;
        return opened;
    }

    sim::SyntheticImages images_;
};

TEST(InstrumentIds, ComeFromBytesOneToFourOfTheBootImageLittleEndian) {
    const std::vector<std::uint8_t> boot_image = {0xC2, 0x09, 0x12, 0x01, 0x00, 0x34, 0x12};
    const std::optional<InstrumentUsbIds> ids = instrument_ids_from_boot_image(boot_image);
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(ids->vendor_id, 0x1209);
    EXPECT_EQ(ids->product_id, 0x0001);
    EXPECT_FALSE(instrument_ids_from_boot_image(std::span(boot_image).first(4)).has_value());
}

TEST_F(LibusbBackendTest, PathsNameTheBusAndPortAndSurviveAReplug) {
    sim::Instrument& first = attach();
    attach();
    std::vector<std::string> paths = port_paths();
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"usb:1-1", "usb:1-2"}));

    // Unplugged and plugged back: a new device address, the same port.
    std::unique_ptr<sim::Instrument> unplugged = harness_->bus().detach(first);
    EXPECT_EQ(port_paths(), std::vector<std::string>{"usb:1-2"});
    harness_->bus().attach(std::move(unplugged));
    paths = port_paths();
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"usb:1-1", "usb:1-2"}));

    UsbDevice device;
    ASSERT_EQ(open_port(device, "usb:1-1"), 0);
    EXPECT_NE(device.context, nullptr);
    harness_->backend().libusb().close(device);
    EXPECT_EQ(device.context, nullptr);
    EXPECT_EQ(open_port(device, "usb:1-9"), -1);
}

TEST_F(LibusbBackendTest, DevicesWithOtherIdsOrWithoutTheBulkPipesAreNotInstruments) {
    sim::InstrumentConfig other_ids = instant();
    sim::BootIdentity identity;
    identity.vendor_id = 0x1234;
    identity.product_id = sim::SYNTHETIC_PRODUCT_ID;
    other_ids.usb.device_descriptor = sim::make_device_descriptor(identity, true);
    attach(other_ids);

    // The same ids, but only an interrupt pipe: a boot loader, say.
    sim::InstrumentConfig no_bulk = instant();
    const std::vector<sim::EndpointSpec> endpoints = {{0x81, 3, 64}};
    no_bulk.usb.configuration_descriptor = sim::make_configuration_descriptor(endpoints);
    attach(no_bulk);
    EXPECT_TRUE(port_paths().empty());

    attach();
    EXPECT_EQ(port_paths(), std::vector<std::string>{"usb:1-3"});
}

TEST_F(LibusbBackendTest, InterfaceHeldByAnotherProgramIsRefusedAndNothingStaysOpen) {
    sim::Instrument& instrument = attach();
    ASSERT_EQ(port_paths(), std::vector<std::string>{"usb:1-1"});
    harness_->bus().set_held_open(instrument, true);
    UsbDevice device;
    EXPECT_EQ(open_port(device, "usb:1-1"), -2);
    EXPECT_EQ(device.context, nullptr);
    EXPECT_EQ(harness_->bus().open_handle_count(), 0U);

    harness_->bus().set_held_open(instrument, false);
    ASSERT_EQ(open_port(device, "usb:1-1"), 0);
    EXPECT_EQ(harness_->bus().open_handle_count(), 1U);
    harness_->backend().libusb().close(device);
    EXPECT_EQ(harness_->bus().open_handle_count(), 0U);
}

// A pipe closed with a read in flight: the read is cancelled and reaped before
// its transfer is freed (a transfer freed while submitted is a use after free
// once the kernel completes it).
TEST_F(LibusbBackendTest, ClosingAPipeCancelsAndReapsTheReadInFlight) {
    attach();
    ASSERT_EQ(port_paths(), std::vector<std::string>{"usb:1-1"});
    UsbDevice device;
    ASSERT_EQ(open_port(device, "usb:1-1"), 0);
    LibusbBackend& libusb = harness_->backend().libusb();
    PipeState pipe;
    pipe.endpoint_address = PIPE_BULK_IN;
    pipe.bulk = 1;
    libusb.open_pipe(device, pipe, false);
    std::vector<std::uint8_t> buffer(512);
    ASSERT_TRUE(libusb.start_read(device, pipe, buffer));  // the instrument has nothing to send
    ASSERT_EQ(harness_->usbfs().urbs_outstanding(), 1U);

    libusb.close_pipe(device, pipe);

    EXPECT_EQ(pipe.context, nullptr);
    EXPECT_EQ(harness_->usbfs().urbs_outstanding(), 0U);
    libusb.close(device);
    EXPECT_EQ(harness_->bus().open_handle_count(), 0U);
}

// A controller whose boot EEPROM holds no image comes up bare: listed under
// its own class only, opened, and answering the firmware-load request.
TEST_F(LibusbBackendTest, BareControllerIsListedApartAndTakesTheFirmwareLoadRequest) {
    const sim::Instrument& instrument = attach();
    sim::InstrumentConfig blank = instant();
    blank.initial.eeprom = sim::Contents::blank;
    const sim::Instrument& bare = attach(blank);
    const auto listed = [&](const char* class_text) {
        Guid interface_class;
        _parse_guid(class_text, &interface_class);
        std::vector<std::string> paths;
        harness_->backend().list_interfaces(interface_class, paths);
        return paths;
    };
    EXPECT_EQ(listed(INSTRUMENT_INTERFACE_GUID), std::vector<std::string>{instrument.path()});
    EXPECT_EQ(listed(BARE_CONTROLLER_GUID), std::vector<std::string>{bare.path()});

    UsbDevice device;
    std::string path = bare.path();
    device.path = path.data();
    ASSERT_EQ(harness_->backend().open(device), 0);
    std::uint8_t descriptor[18] = {};
    EXPECT_EQ(harness_->backend().get_descriptor(device, DESCRIPTOR_TYPE_DEVICE, 0, descriptor),
              18);
    EXPECT_EQ(descriptor[8] | descriptor[9] << 8, BARE_CONTROLLER_VENDOR_ID);
    EXPECT_EQ(descriptor[10] | descriptor[11] << 8, BARE_CONTROLLER_PRODUCT_ID);
    std::uint8_t hold_in_reset = 0x01;
    const UsbSetupPacket setup{0x40, VREQ_FIRMWARE_LOAD, CONTROLLER_CPUCS, 0, 1};
    EXPECT_EQ(harness_->backend().control_transfer(device, setup, std::span(&hold_in_reset, 1)), 1);
    harness_->backend().close(device);
    EXPECT_EQ(harness_->bus().open_handle_count(), 0U);  // the claim was given back
}

TEST_F(LibusbBackendTest, AFullSessionUsesOnlyIoctlsUsbfsKnows) {
    attach();
    const char* guid = INSTRUMENT_INTERFACE_GUID;
    usb_install_backend(&harness_->backend_under_test());
    UsbDevice* list = nullptr;
    usb_find_devices(&guid, 1, &list);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(usb_open_device(list, 1), 0);
    std::uint8_t status[16] = {};
    int length = 16;
    usb_control_transfer(list, 0, VREQ_FPGA_STATUS, 0, 0, &length, status);
    EXPECT_EQ(length, 16);
    std::uint8_t reply[512];
    int transferred = 0;
    EXPECT_EQ(usb_bulk_read(list, PIPE_BULK_IN, reply, 512, &transferred, 10), USB_ERR_TIMEOUT);
    usb_close_device(list);
    usb_free_device_list(list);
    usb_install_backend(nullptr);
    for (const unsigned long request : harness_->usbfs().unknown_requests()) {
        ADD_FAILURE() << "unknown ioctl 0x" << std::hex << request;
    }
}

}  // namespace
