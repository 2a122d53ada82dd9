#include "sim/nor_flash.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using sim::NorFlash;

TEST(NorFlash, StartsErasedAndProgrammingOnlyClearsBits) {
    NorFlash flash;
    EXPECT_EQ(flash.at(0), 0xFF);
    EXPECT_EQ(flash.at(NorFlash::SIZE - 1), 0xFF);

    const std::vector<std::uint8_t> first{0xF0, 0x0F, 0xAA};
    flash.program(0x1000, first);
    const std::vector<std::uint8_t> second{0x3C, 0xFF, 0x55};
    flash.program(0x1000, second);

    EXPECT_EQ(flash.at(0x1000), 0x30);  // 0xF0 & 0x3C
    EXPECT_EQ(flash.at(0x1001), 0x0F);  // a 1 cannot come back
    EXPECT_EQ(flash.at(0x1002), 0x00);
    EXPECT_EQ(flash.at(0x1003), 0xFF);
}

TEST(NorFlash, EraseSetsTheWholeSectorByCapacityCode) {
    for (const auto& [code, sector] : {std::pair<std::uint8_t, std::uint32_t>{0x18, 0x40000},
                                       std::pair<std::uint8_t, std::uint32_t>{0x17, 0x10000}}) {
        NorFlash flash(code);
        EXPECT_EQ(flash.sector_size(), sector);
        const std::vector<std::uint8_t> zeros(256, 0x00);
        for (std::uint32_t page = 0; page < 3 * sector; page += 0x8000) {
            flash.program(page, zeros);
        }
        flash.erase_sector(sector + 0x123);  // any address inside the second sector

        EXPECT_EQ(flash.at(sector - 0x8000), 0x00) << "the sector before stays";
        EXPECT_EQ(flash.at(sector), 0xFF);
        EXPECT_EQ(flash.at(2 * sector - 0x8000), 0xFF);
        EXPECT_EQ(flash.at(2 * sector), 0x00) << "the sector after stays";
    }
}

TEST(NorFlash, PageProgramWrapsWithinItsPage) {
    NorFlash flash;
    std::vector<std::uint8_t> data(4, 0x00);
    flash.program(0x2FE, data);  // two bytes at the page's end, two at its start
    EXPECT_EQ(flash.at(0x2FE), 0x00);
    EXPECT_EQ(flash.at(0x2FF), 0x00);
    EXPECT_EQ(flash.at(0x200), 0x00);
    EXPECT_EQ(flash.at(0x201), 0x00);
    EXPECT_EQ(flash.at(0x300), 0xFF);
}

TEST(NorFlash, ReadsAndLoadsStopAtTheEndOfTheArray) {
    NorFlash flash;
    const std::vector<std::uint8_t> data(10, 0x12);
    flash.load(NorFlash::SIZE - 4, data);
    EXPECT_EQ(flash.read(NorFlash::SIZE - 4, 100).size(), 4U);
    EXPECT_EQ(flash.read(NorFlash::SIZE - 4, 100)[3], 0x12);
    EXPECT_TRUE(flash.read(NorFlash::SIZE, 4).empty());
}

TEST(NorFlash, ForcedBitsStaySetUntilProgrammedAgain) {
    NorFlash flash;
    const std::vector<std::uint8_t> zero{0x00};
    flash.program(5, zero);
    flash.force_bits(5, 0x04);
    EXPECT_EQ(flash.at(5), 0x04);
}

}  // namespace
