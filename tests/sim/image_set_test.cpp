// The contents a new instrument starts with, and the images they come from.
#include <vector>

#include "sim_fixture.h"

namespace {

using sim::Contents;
using sim::InitialState;

class InitialContentsTest : public sim_test::SimTest {
  protected:
    sim::Instrument& with(InitialState initial) {
        auto instrument_config = config();
        instrument_config.initial = initial;
        return attach(instrument_config);
    }
    bool holds(const sim::Instrument& instrument, int selector,
               std::span<const std::uint8_t> image) const {
        const sim::FlashPlacement placement = sim::flash_placement(selector);
        const auto stored = instrument.flash(placement.device)
                                .read(placement.start, static_cast<std::uint32_t>(image.size()));
        return std::equal(stored.begin(), stored.end(), image.begin(), image.end());
    }
};

TEST_F(InitialContentsTest, CurrentHoldsEveryImageAtItsPlace) {
    const sim::Instrument& instrument = with(InitialState::all(Contents::current));
    const sim::ImageSet set = images_.set();
    for (int selector = 0; selector < sim::FLASH_IMAGE_COUNT; ++selector) {
        EXPECT_TRUE(holds(instrument, selector, set.flash_image(selector))) << selector;
    }
    EXPECT_EQ(sim::flash_placement(0).start, 0x6C0000U);
    EXPECT_EQ(sim::flash_placement(1).device, 1);
    EXPECT_EQ(sim::flash_placement(1).start, 0x100000U);
    EXPECT_EQ(sim::flash_placement(4).start, 0xFC0000U);
    const auto eeprom = instrument.eeprom().bytes();
    EXPECT_TRUE(
        std::equal(images_.usb_firmware.begin(), images_.usb_firmware.end(), eeprom.begin()));
    EXPECT_EQ(eeprom[images_.usb_firmware.size()], 0xFF);
    EXPECT_TRUE(instrument.shows_interface());
}

TEST_F(InitialContentsTest, OlderDiffersInEveryItemOfTheCheck) {
    const sim::Instrument& instrument = with(InitialState::all(Contents::older));
    const sim::ImageSet set = images_.set();
    for (int selector = 0; selector < sim::FLASH_IMAGE_COUNT; ++selector) {
        EXPECT_FALSE(holds(instrument, selector, set.flash_image(selector))) << selector;
        const auto older = sim::older_flash_image(set.flash_image(selector));
        EXPECT_TRUE(holds(instrument, selector, older)) << selector;
    }
    EXPECT_EQ(instrument.identity().device_id, sim::OLDER_USB_DEVICE_ID);
    EXPECT_EQ(instrument.identity().vendor_id, sim::SYNTHETIC_VENDOR_ID);
    EXPECT_NE(instrument.supply(0).stored(0x9D), instrument.supply(0).stored(0x9B));
    const auto date = instrument.supply(0).working(0x9D);
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(std::string(date->begin(), date->end()), "240610");
}

TEST_F(InitialContentsTest, BlankIsErasedWithOnlyTheIdentificationBlock) {
    const sim::Instrument& instrument = with(InitialState::all(Contents::blank));
    EXPECT_EQ(instrument.flash(0).at(0), 0xFF);
    EXPECT_EQ(instrument.flash(1).at(0x100000), 0xFF);
    EXPECT_EQ(instrument.eeprom().bytes()[0], 0xFF);
    EXPECT_EQ(instrument.device_number(), 1);
    EXPECT_FALSE(instrument.supply(0).working(0x9D).has_value());
    EXPECT_FALSE(instrument.shows_interface()) << "no boot image: no instrument interface";
    EXPECT_TRUE(listed_paths().empty());
}

TEST_F(InitialContentsTest, PartsCanStartDifferently) {
    const sim::Instrument& instrument =
        with(InitialState{Contents::blank, Contents::current, Contents::older});
    EXPECT_EQ(instrument.flash(0).at(0), 0xFF);
    EXPECT_TRUE(instrument.shows_interface());
    EXPECT_EQ(instrument.supply(1).working(0x21, 0), instrument.supply(1).stored(0x21, 0));
}

TEST(OlderImages, ChangeBytesButKeepTheShape) {
    const std::vector<std::uint8_t> image(1000, 0x11);
    const auto older = sim::older_flash_image(image);
    ASSERT_EQ(older.size(), image.size());
    EXPECT_NE(older, image);
    EXPECT_NE(sim::older_flash_image(std::vector<std::uint8_t>{7}), std::vector<std::uint8_t>{7});

    const std::vector<std::uint8_t> c2{0xC2, 1, 2, 3, 4, 0x03, 0x02, 0};
    const auto older_c2 = sim::older_usb_firmware(c2);
    EXPECT_EQ(older_c2[5], 0x25);
    EXPECT_EQ(older_c2[6], 0x01);
    const std::vector<std::uint8_t> low{0xC2, 1, 2, 3, 4, 0x10, 0x00, 0};
    EXPECT_EQ(sim::older_usb_firmware(low)[5], 0x0F);

    const auto date = [](const char* text) {
        const std::vector<std::uint8_t> bytes(text, text + 6);
        const auto older_text = sim::older_date(bytes);
        return std::string(older_text.begin(), older_text.end());
    };
    EXPECT_EQ(date("240611"), "240610");
    EXPECT_EQ(date("240600"), "240599");
    EXPECT_NE(date("000000"), "000000");
}

TEST(SyntheticImages, AreDeterministicAndShapedLikeTheCatalogue) {
    const sim::SyntheticImages one(3);
    const sim::SyntheticImages same(3);
    const sim::SyntheticImages other(4);
    EXPECT_EQ(one.bitstream, same.bitstream);
    EXPECT_NE(one.bitstream, other.bitstream);
    EXPECT_EQ(one.bitstream[0], 0xFF);
    EXPECT_EQ(one.factory_bitstream[3], 0xFF);
    EXPECT_EQ(one.usb_firmware[0], 0xC2);
    EXPECT_EQ(one.supply_a_script[0], 0x9D);
    EXPECT_EQ(one.supply_a_script[1], 6);
    EXPECT_EQ(one.set().flash_image(2).data(), one.factory_bitstream.data());
}

}  // namespace
