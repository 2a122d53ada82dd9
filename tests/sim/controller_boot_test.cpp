// The USB controller's start from its boot EEPROM, the bare controller's
// firmware load over USB, and an EEPROM page write cut by a power loss.
#include <vector>

#include "images/c2_records.h"
#include "sim/controller_boot.h"
#include "sim_fixture.h"

namespace {

std::vector<sim::KnownFirmware> known_of(const sim::SyntheticImages& images) {
    std::vector<sim::KnownFirmware> known;
    for (const auto& image : {images.usb_firmware, sim::older_usb_firmware(images.usb_firmware)}) {
        known.push_back(*sim::known_firmware(image));
    }
    return known;
}

std::vector<std::uint8_t> eeprom_holding(std::vector<std::uint8_t> image) {
    image.resize(sim::EEPROM_SIZE, 0xFF);
    return image;
}

TEST(ControllerBoot, OnlyAWholeKnownFirmwareComesUpAsTheInstrument) {
    const sim::SyntheticImages images(3, {.usb_firmware = 3000});
    const auto known = known_of(images);
    const auto older = sim::older_usb_firmware(images.usb_firmware);
    // Half new, half old: what an EEPROM write cut in the middle left behind.
    std::vector<std::uint8_t> mixed = images.usb_firmware;
    std::copy(older.begin() + 1500, older.end(), mixed.begin() + 1500);
    // Erased from byte 2000 on (eeprom_holding fills the rest).
    std::vector<std::uint8_t> cut_short(images.usb_firmware.begin(), images.usb_firmware.begin() + 2000);
    std::vector<std::uint8_t> withdrawn = images.usb_firmware;
    withdrawn[0] = 0xFF;

    struct Case {
        const char* what;
        std::vector<std::uint8_t> eeprom;
        sim::ControllerState state;
        std::uint16_t vendor_id;
        std::uint16_t device_id;
    };
    const Case cases[] = {
        {"the carried firmware", images.usb_firmware, sim::ControllerState::instrument,
         sim::SYNTHETIC_VENDOR_ID, sim::SYNTHETIC_DEVICE_ID},
        {"the older firmware", older, sim::ControllerState::instrument, sim::SYNTHETIC_VENDOR_ID,
         sim::OLDER_USB_DEVICE_ID},
        {"no boot marker", withdrawn, sim::ControllerState::bare,
         sim::CONTROLLER_DEFAULT_VENDOR_ID, sim::CONTROLLER_DEFAULT_DEVICE_ID},
        {"erased", {}, sim::ControllerState::bare, sim::CONTROLLER_DEFAULT_VENDOR_ID,
         sim::CONTROLLER_DEFAULT_DEVICE_ID},
        {"half new, half old", mixed, sim::ControllerState::hung, 0, 0},
        {"records cut short", cut_short, sim::ControllerState::hung, 0, 0},
    };
    for (const Case& c : cases) {
        const sim::BootOutcome outcome = sim::boot_from_eeprom(eeprom_holding(c.eeprom), known);
        EXPECT_EQ(outcome.state, c.state) << c.what;
        if (c.state != sim::ControllerState::hung) {
            EXPECT_EQ(outcome.identity.vendor_id, c.vendor_id) << c.what;
            EXPECT_EQ(outcome.identity.device_id, c.device_id) << c.what;
        }
    }
}

class BareControllerTest : public sim_test::SimTest {
  protected:
    sim::Instrument& attach_bare() {
        sim::InstrumentConfig bare = config();
        bare.initial.eeprom = sim::Contents::blank;
        return attach(bare);
    }
    UsbDevice* open_bare() {
        usb_free_device_list(bare_list_);
        bare_list_ = nullptr;
        const char* guid = BARE_CONTROLLER_GUID;
        usb_find_devices(&guid, 1, &bare_list_);
        return bare_list_ != nullptr && usb_open_device(bare_list_, 0) == 0 ? bare_list_ : nullptr;
    }
    ~BareControllerTest() override {
        if (bare_list_ != nullptr) {
            usb_close_device(bare_list_);
        }
        usb_free_device_list(bare_list_);
    }
    int load(UsbDevice* device, std::uint16_t address, std::vector<std::uint8_t> data) {
        return control_out(device, VREQ_FIRMWARE_LOAD, address, 0, std::move(data));
    }
    // The image's load records but the last through request 0xA0, the 8051
    // held meanwhile.
    void load_records(UsbDevice* device, std::span<const std::uint8_t> image) {
        ASSERT_EQ(load(device, CONTROLLER_CPUCS, {0x01}), USB_OK);
        c2_walk_records(image, [&](const C2Record& record) {
            if (!record.last) {
                EXPECT_EQ(load(device, record.address, {record.data.begin(), record.data.end()}),
                          USB_OK);
            }
            return true;
        });
    }

    UsbDevice* bare_list_ = nullptr;
};

TEST_F(BareControllerTest, ShowsItsOwnIdentityAndAnswersOnlyTheFirmwareLoad) {
    sim::Instrument& controller = attach_bare();
    EXPECT_TRUE(listed_paths().empty()) << "no instrument interface";
    UsbDevice* device = open_bare();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->vendor_id, BARE_CONTROLLER_VENDOR_ID);
    EXPECT_EQ(device->product_id, BARE_CONTROLLER_PRODUCT_ID);
    EXPECT_EQ(device->out_pipe_count + device->in_pipe_count, 0) << "endpoint 0 only";
    EXPECT_TRUE(control_in(device, VREQ_BUS_TRANSFER, 0x0251, 0x3000, 22).empty());

    ASSERT_EQ(load(device, 0x1000, {1, 2, 3}), USB_OK);
    EXPECT_EQ(control_in(device, VREQ_FIRMWARE_LOAD, 0x1000, 0, 3),
              (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_NE(load(device, 0x5000, {1}), USB_OK) << "no RAM there";
    EXPECT_TRUE(controller.bare());
}

TEST_F(BareControllerTest, ALoadedKnownFirmwareComesBackAsTheInstrumentAnythingElseHangs) {
    sim::Instrument& controller = attach_bare();
    UsbDevice* device = open_bare();
    ASSERT_NE(device, nullptr);
    load_records(device, images_.usb_firmware);
    ASSERT_EQ(load(device, CONTROLLER_CPUCS, {0x00}), USB_OK);
    clock_.advance_us(5'000'000);
    ASSERT_EQ(listed_paths(), std::vector<std::string>{controller.path()});
    EXPECT_EQ(controller.identity().device_id, sim::SYNTHETIC_DEVICE_ID);
    EXPECT_EQ(controller.eeprom().bytes()[0], 0xFF) << "the EEPROM is not touched";

    controller.lose_power(now_us());
    clock_.advance_us(5'000'000);
    backend_.settle();
    ASSERT_TRUE(controller.bare()) << "without power the RAM is gone; the EEPROM still boots nothing";

    device = open_bare();
    ASSERT_NE(device, nullptr);
    std::vector<std::uint8_t> damaged = images_.usb_firmware;
    damaged[20] ^= 0x01;
    load_records(device, damaged);
    ASSERT_EQ(load(device, CONTROLLER_CPUCS, {0x00}), USB_OK);
    clock_.advance_us(60'000'000);
    backend_.settle();
    EXPECT_TRUE(controller.hung());
    EXPECT_FALSE(controller.present());
}

TEST_F(BareControllerTest, APowerLossDuringAnEepromPageWriteKeepsOnlyItsFirstBytes) {
    sim::Instrument& instrument = attach();
    instrument.faults().power_loss_at_eeprom_write = 1;
    instrument.faults().eeprom_cut_prefix_bytes = 5;
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    control_in(device, VREQ_BUS_ACCESS, 1, 0, 1);
    ASSERT_EQ(control_out(device, VREQ_BUS_TRANSFER, 0x0651, 0x1000, std::vector<std::uint8_t>(32, 0x11)),
              USB_OK);
    EXPECT_NE(control_out(device, VREQ_BUS_TRANSFER, 0x0651, 0x1020, std::vector<std::uint8_t>(32, 0x22)),
              USB_OK);
    EXPECT_FALSE(instrument.present());
    const auto stored = instrument.eeprom().bytes().subspan(0x1020, 32);
    EXPECT_EQ(std::count(stored.begin(), stored.end(), 0x22), 5);
    EXPECT_EQ(stored[5], 0xFF);
}

}  // namespace
