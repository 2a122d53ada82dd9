// The embedded image set against its catalogue: sizes, headers, and the
// structure that start-up, the checks and the flash layout rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "flash/flash_layout.h"
#include "tests/tools/embedded_resource.h"

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t BITSTREAM_FILE_HEADER = 118;
constexpr std::array<std::uint8_t, 4> FF_RUN = {0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::array<std::uint8_t, 4> SYNC_WORD = {0xAA, 0x99, 0x55, 0x66};

// The position of needle in haystack, or haystack's size.
std::size_t find(Bytes haystack, std::span<const std::uint8_t> needle) {
    const auto hit = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    return static_cast<std::size_t>(hit - haystack.begin());
}

// Where start-up's header skip lands: the first run of four 0xFF bytes that
// starts within the first 256 bytes, or -1.
int header_skip(Bytes resource) {
    const std::size_t p = find(resource.first(std::min<std::size_t>(resource.size(), 259)), FF_RUN);
    return p < 256 && p + 4 <= resource.size() ? static_cast<int>(p) : -1;
}

TEST(EmbeddedImageSet, EveryResourceHasItsCatalogueSize) {
    const std::array<std::pair<int, std::size_t>, 10> catalogue = {{
        {400, 8},
        {401, 1'169'276},
        {402, 208},
        {403, 7'045'704},
        {404, 447'848},
        {405, 9'232'562},
        {406, 659'720},
        {407, 8'040},
        {408, 912},
        {409, 1'176},
    }};
    for (const auto& [id, size] : catalogue) {
        EXPECT_EQ(embedded_resource(id).size(), size) << "resource " << id;
    }
    EXPECT_TRUE(embedded_resource(399).empty());
    EXPECT_TRUE(embedded_resource(410).empty());
}

TEST(EmbeddedImageSet, VersionTableHoldsTheRevisionsShown) {
    const Bytes table = embedded_resource(400);
    ASSERT_EQ(table.size(), 8U);
    EXPECT_EQ(read_le32(table, 0), 37994U);
    EXPECT_EQ(read_le32(table, 4), 38322U);
}

TEST(EmbeddedImageSet, FlashCoreIsWholeWordsAnnouncedAsTheCatalogueCount) {
    const Bytes core = embedded_resource(401);
    ASSERT_EQ(core.size() % 2, 0U);
    const std::size_t words = (core.size() + 51200) / 2;
    EXPECT_EQ(words, 610'238U);
    EXPECT_EQ(words & 0xFFFF, 0x4FBEU);
    EXPECT_EQ(words >> 16, 0x09U);
    EXPECT_EQ(header_skip(core), 0);
    EXPECT_LT(find(core, SYNC_WORD), 64U);
}

TEST(EmbeddedImageSet, FactoryBitstreamHasNoHeaderToSkip) {
    const Bytes factory = embedded_resource(403);
    ASSERT_GT(factory.size(), 0xFFFFFU);
    EXPECT_TRUE(std::equal(FF_RUN.begin(), FF_RUN.end(), factory.begin()));
    EXPECT_EQ(header_skip(factory), 0);
    EXPECT_LT(find(factory, SYNC_WORD), 64U);
}

// Key-length-value fields of the bitstream file header, read as the FPGA
// tools write them.
struct BitstreamFileHeader {
    std::vector<std::string> fields;  // 'a' to 'd', without their NUL
    std::uint32_t data_length = 0;
    std::size_t length = 0;
};

testing::AssertionResult parse_bitstream_file_header(Bytes file, BitstreamFileHeader& header) {
    const std::array<std::uint8_t, 13> lead = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                               0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
    if (file.size() < 256 || !std::equal(lead.begin(), lead.end(), file.begin())) {
        return testing::AssertionFailure() << "no magic field";
    }
    std::size_t at = lead.size();
    for (const char key : {'a', 'b', 'c', 'd'}) {
        if (file[at] != key) {
            return testing::AssertionFailure() << "field '" << key << "' missing at " << at;
        }
        const std::size_t length = read_be16(file, at + 1);
        at += 3;
        // Leaves room for the next key and the 'e' field within the first 256 bytes.
        if (length == 0 || at + length + 8 > 256 || file[at + length - 1] != 0) {
            return testing::AssertionFailure() << "field '" << key << "' is not a C string";
        }
        header.fields.emplace_back(reinterpret_cast<const char*>(&file[at]), length - 1);
        at += length;
    }
    if (file[at] != 'e') {
        return testing::AssertionFailure() << "field 'e' missing at " << at;
    }
    header.data_length = read_be32(file, at + 1);
    header.length = at + 5;
    return testing::AssertionSuccess();
}

TEST(EmbeddedImageSet, BitstreamFileHeaderEndsWhereTheHeaderSkipLands) {
    const Bytes file = embedded_resource(405);
    BitstreamFileHeader header;
    ASSERT_TRUE(parse_bitstream_file_header(file, header));
    EXPECT_EQ(header.length, BITSTREAM_FILE_HEADER);
    EXPECT_EQ(header.data_length, 9'232'444U);
    EXPECT_EQ(header.data_length, file.size() - BITSTREAM_FILE_HEADER);
    EXPECT_EQ(find(file.first(BITSTREAM_FILE_HEADER), FF_RUN), BITSTREAM_FILE_HEADER)
        << "the header itself holds four 0xFF bytes";
    EXPECT_EQ(header_skip(file), static_cast<int>(BITSTREAM_FILE_HEADER));
    for (const std::string& field : header.fields) {
        EXPECT_FALSE(field.empty());
        EXPECT_TRUE(std::all_of(field.begin(), field.end(), [](char c) { return c >= 0x20; }));
    }
    EXPECT_LT(find(file.subspan(BITSTREAM_FILE_HEADER), SYNC_WORD), 64U);
}

TEST(EmbeddedImageSet, FactorySidePointsWarmBootAtTheBitstreamRegion) {
    // A type-1 write of one word to WBSTAR: the bitstream region's start.
    const std::uint32_t start = flash_region(SELECTOR_BITSTREAM).start;
    std::array<std::uint8_t, 8> warm_boot = {0x30, 0x02, 0x00, 0x01};
    for (std::size_t i = 0; i < 4; ++i) {
        warm_boot[4 + i] = static_cast<std::uint8_t>(start >> (24 - 8 * i));
    }
    const Bytes factory = embedded_resource(IMAGE_FACTORY_BITSTREAM);
    EXPECT_LT(find(factory.first(256), warm_boot), 256U);
    const Bytes sequence = embedded_resource(IMAGE_CONFIGURATION_SEQUENCE);
    EXPECT_LT(find(sequence, SYNC_WORD), sequence.size());
    EXPECT_LT(find(sequence, warm_boot), sequence.size());
}

// Where the region of a selector ends: at the next region's start on the same
// 16 MiB device, or at the device's end.
std::size_t region_end(int selector) {
    const FlashRegion region = flash_region(selector);
    std::size_t end = 0x1000000;
    for (int other = SELECTOR_BITSTREAM; other <= SELECTOR_CONFIGURATION_SEQUENCE; ++other) {
        const FlashRegion next = flash_region(other);
        if (next.flash_device == region.flash_device && next.start > region.start) {
            end = std::min<std::size_t>(end, next.start);
        }
    }
    return end;
}

TEST(EmbeddedImageSet, FlashImagesFitTheirRegionsAndDifferFromErasedFlash) {
    for (int selector = SELECTOR_BITSTREAM; selector <= SELECTOR_CONFIGURATION_SEQUENCE;
         ++selector) {
        const FlashRegion region = flash_region(selector);
        Bytes image = embedded_resource(region.image_id);
        if (region.image_id == IMAGE_BITSTREAM || region.image_id == IMAGE_FACTORY_BITSTREAM) {
            const int skip = header_skip(image);
            ASSERT_GE(skip, 0) << "image " << region.image_id;
            image = image.subspan(static_cast<std::size_t>(skip));
        }
        EXPECT_LE(image.size(), region_end(selector) - region.start) << "image " << region.image_id;
        EXPECT_FALSE(std::all_of(image.begin(), image.end(), [](auto b) { return b == 0xFF; }))
            << "image " << region.image_id;
    }
    const Bytes factory_firmware = embedded_resource(IMAGE_FACTORY_FIRMWARE);
    const Bytes firmware = embedded_resource(IMAGE_FIRMWARE);
    ASSERT_GE(std::min(factory_firmware.size(), firmware.size()), 4096U);
    EXPECT_FALSE(
        std::equal(factory_firmware.begin(), factory_firmware.begin() + 4096, firmware.begin()));
}

// The FX2 boot loader's view of a "C2" image: header, then load records until
// the one with the top bit of its length set.
struct C2Walk {
    int load_records = 0;
    std::size_t end_record_at = 0;
};

testing::AssertionResult walk_c2_image(Bytes image, C2Walk& walk) {
    constexpr std::size_t ON_CHIP_RAM = 0x4000;
    std::size_t at = 8;
    while (at + 4 <= image.size()) {
        const std::uint16_t length = read_be16(image, at);
        const std::uint16_t address = read_be16(image, at + 2);
        if ((length & 0x8000) != 0) {
            walk.end_record_at = at;
            return testing::AssertionSuccess();
        }
        if (length == 0 || length > 1023 || address + length > ON_CHIP_RAM) {
            return testing::AssertionFailure()
                   << "record at " << at << ": " << length << " bytes to " << address;
        }
        if (at + 4 + length > image.size()) {
            return testing::AssertionFailure() << "record at " << at << " runs past the end";
        }
        at += 4 + length;
        ++walk.load_records;
    }
    return testing::AssertionFailure() << "no end record";
}

TEST(EmbeddedImageSet, UsbFirmwareIsAC2BootImageOfDeviceId138) {
    const Bytes image = embedded_resource(407);
    ASSERT_EQ(image.size(), 8040U);
    EXPECT_EQ(image[0], 0xC2);
    EXPECT_EQ(read_le16(image, 1), 0x1209);
    EXPECT_EQ(read_le16(image, 3), 0x0001);
    EXPECT_EQ(read_le16(image, 5), 0x0126);
    EXPECT_EQ(image[7] & ~0x41, 0) << "only the 400 kHz and disconnect bits are defined";

    char shown[16];
    std::snprintf(shown, sizeof shown, "%d.%02d", image[6], image[5]);
    EXPECT_STREQ(shown, "1.38");

    C2Walk walk;
    ASSERT_TRUE(walk_c2_image(image, walk));
    EXPECT_GT(walk.load_records, 0);
    // The end record writes 0 to CPUCS and is the image's last byte.
    const std::array<std::uint8_t, 5> end_record = {0x80, 0x01, 0xE6, 0x00, 0x00};
    EXPECT_EQ(walk.end_record_at + end_record.size(), image.size());
    EXPECT_TRUE(std::equal(end_record.begin(), end_record.end(),
                           image.begin() + static_cast<std::ptrdiff_t>(walk.end_record_at)));
    // The identification block lives at EEPROM address 0x3000.
    EXPECT_LT(image.size(), 0x3000U);
}

TEST(EmbeddedImageSet, PowerRevisionShownIsSupplyADateCode) {
    const Bytes script = embedded_resource(408);
    ASSERT_GE(script.size(), 9U);
    const std::string shown(reinterpret_cast<const char*>(&script[3]), 6);
    EXPECT_TRUE(std::all_of(shown.begin(), shown.end(), [](char c) {
        return c >= '0' && c <= '9';
    })) << shown;
}

}  // namespace
