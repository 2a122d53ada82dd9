// Start-up's loading rules over resources that the tests build.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "window/window_port.h"
#include "images/images.h"
#include "support/recording_window_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class BlobSource final : public ResourceSource {
public:
    std::map<int, Bytes> blobs;
    std::vector<int> mapped;  // ids in the order they were mapped

    std::optional<std::uint32_t> resource_size(int id) override {
        auto found = blobs.find(id);
        if (found == blobs.end()) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(found->second.size());
    }
    const std::uint8_t* resource_bytes(int id) override {
        mapped.push_back(id);
        auto found = blobs.find(id);
        return found == blobs.end() ? nullptr : found->second.data();
    }
};

constexpr std::uint32_t MIN_BITSTREAM = 1048576;

Bytes bitstream(std::uint32_t size, std::uint32_t ff_run_at) {
    Bytes bytes(size, 0x5A);
    for (std::uint32_t i = 0; i < 4 && ff_run_at + i < size; ++i) {
        bytes[ff_run_at + i] = 0xFF;
    }
    return bytes;
}

BlobSource complete_set() {
    BlobSource source;
    source.blobs[400] = {0x6A, 0x94, 0, 0, 0xB2, 0x95, 0, 0};
    for (int id = 401; id <= 409; ++id) {
        source.blobs[id] = Bytes(16, static_cast<std::uint8_t>(id));
    }
    source.blobs[403] = bitstream(MIN_BITSTREAM, 0);
    source.blobs[405] = bitstream(MIN_BITSTREAM + 118, 118);
    return source;
}

TEST(ImageSetLoad, CompleteSetLoadsEveryImageInPlace) {
    BlobSource source = complete_set();
    ASSERT_TRUE(image_set_load(source));
    for (int id = 401; id <= 409; ++id) {
        if (id == 403 || id == 405) {
            continue;
        }
        EXPECT_EQ(firmware_image(id).data, source.blobs[id].data()) << id;
        EXPECT_EQ(firmware_image(id).length, 16) << id;
    }
    EXPECT_EQ(firmware_image(405).data, source.blobs[405].data() + 118);
    EXPECT_EQ(firmware_image(405).length, static_cast<std::int32_t>(MIN_BITSTREAM));
    EXPECT_EQ(firmware_image(403).data, source.blobs[403].data());
}

TEST(ImageSetLoad, MapsInCatalogueOrder) {
    BlobSource source = complete_set();
    ASSERT_TRUE(image_set_load(source));
    EXPECT_THAT(source.mapped, testing::ElementsAre(401, 402, 403, 404, 405, 406, 407, 408, 409, 400));
}

TEST(ImageSetLoad, BitstreamSizeLimit) {
    BlobSource source = complete_set();
    source.blobs[403] = bitstream(MIN_BITSTREAM - 1, 0);
    EXPECT_FALSE(image_set_load(source));
    EXPECT_EQ(firmware_image(403).length, 0);
    // Too small a bitstream is not even mapped.
    EXPECT_THAT(source.mapped, testing::Not(testing::Contains(403)));

    source.blobs[403] = bitstream(MIN_BITSTREAM, 0);
    EXPECT_TRUE(image_set_load(source));
}

TEST(ImageSetLoad, HeaderSearchEndsAtPosition255) {
    BlobSource source = complete_set();
    source.blobs[405] = bitstream(MIN_BITSTREAM + 300, 255);
    ASSERT_TRUE(image_set_load(source));
    EXPECT_EQ(firmware_image(405).data, source.blobs[405].data() + 255);
    EXPECT_EQ(firmware_image(405).length, static_cast<std::int32_t>(MIN_BITSTREAM + 300 - 255));

    source.blobs[405] = bitstream(MIN_BITSTREAM + 300, 256);
    EXPECT_FALSE(image_set_load(source));
    EXPECT_EQ(firmware_image(405).length, 0);
}

TEST(ImageSetLoad, HeaderHoldingFourFfBytesCutsThere) {
    BlobSource source = complete_set();
    Bytes bytes = bitstream(MIN_BITSTREAM + 118, 118);
    for (int i = 40; i < 44; ++i) {
        bytes[i] = 0xFF;  // a run inside the header: the search does not parse it
    }
    source.blobs[405] = bytes;
    ASSERT_TRUE(image_set_load(source));
    EXPECT_EQ(firmware_image(405).data, source.blobs[405].data() + 40);
}

TEST(ImageSetLoad, VersionTableRules) {
    BlobSource source = complete_set();
    source.blobs[400] = {0x6A, 0x94, 0, 0, 0xB2, 0x95, 0, 0, 9, 9, 9, 9};
    ASSERT_TRUE(image_set_load(source));
    EXPECT_EQ(available_versions().fpga_revision, 37994U);
    EXPECT_EQ(available_versions().firmware_revision, 38322U);

    source.blobs[400].resize(7);
    EXPECT_FALSE(image_set_load(source));
}

TEST(ImageSetLoad, EveryMissingOrEmptyImageRefuses) {
    for (int id = 400; id <= 409; ++id) {
        BlobSource missing = complete_set();
        missing.blobs.erase(id);
        EXPECT_FALSE(image_set_load(missing)) << "missing " << id;

        BlobSource empty = complete_set();
        empty.blobs[id].clear();
        EXPECT_FALSE(image_set_load(empty)) << "empty " << id;
    }
}

// Each image stored on the instrument ends at or below where the next region
// begins: one byte more would have its erase or write reach into it.
TEST(ImageSetLoad, AnImageOneByteLongerThanItsRegionRefusesTheSet) {
    const struct {
        int id;
        std::uint32_t capacity;
    } regions[] = {
        {403, 0x6C0000},              // factory bitstream: 0 to the bitstream
        {405, 0xFC0000 - 0x6C0000},   // bitstream, header cut off: to the configuration sequence
        {402, 0x1000000 - 0xFC0000},  // configuration sequence: to the end of the 16 MiB device
        {404, 0x100000},              // factory firmware: 0 to the firmware
        {406, 0x1000000 - 0x100000},  // firmware: to the end of the device
        {407, 0x3000},                // boot image: up to the identification block
    };
    constexpr std::uint32_t HEADER = 118;  // image 405 carries one
    for (const auto& region : regions) {
        for (const std::uint32_t length : {region.capacity, region.capacity + 1}) {
            SCOPED_TRACE(testing::Message() << region.id << " of " << length << " bytes");
            BlobSource source = complete_set();
            if (region.id == 405) {
                source.blobs[405] = bitstream(length + HEADER, HEADER);
            } else {
                source.blobs[region.id] = Bytes(length, 0xFF);
            }
            RecordingWindowPort port;
            const bool fits = length == region.capacity;
            EXPECT_EQ(startup_load_images(source, port), fits);
            EXPECT_EQ(firmware_image(region.id).length, static_cast<std::int32_t>(length));
            ASSERT_EQ(port.message_boxes.size(), fits ? 0U : 1U);
            if (!fits) {
                EXPECT_EQ(port.message_boxes[0].text, STARTUP_REFUSAL_MESSAGE);
                EXPECT_EQ(port.message_boxes[0].icon, MessageIcon::error);
            }
        }
    }
}

TEST(Startup, RefusalShowsTheMessageWithTheErrorIcon) {
    BlobSource source = complete_set();
    source.blobs.erase(407);
    RecordingWindowPort port;
    EXPECT_FALSE(startup_load_images(source, port));
    ASSERT_EQ(port.message_boxes.size(), 1U);
    EXPECT_EQ(port.message_boxes[0].text,
              "A required program component could not be loaded, please contact\r\n"
              "Talvenor AG for further assistance.");
    EXPECT_EQ(port.message_boxes[0].icon, MessageIcon::error);
}

TEST(Startup, CompleteSetBuildsTheBitReverseTable) {
    BlobSource source = complete_set();
    bit_reverse_table.fill(0);
    RecordingWindowPort port;
    ASSERT_TRUE(startup_load_images(source, port));
    EXPECT_TRUE(port.message_boxes.empty());
    EXPECT_EQ(bit_reverse_table[0x01], 0x80);
    EXPECT_EQ(bit_reverse_table[0x12], 0x48);
    EXPECT_EQ(bit_reverse_table[0x0F], 0xF0);
    EXPECT_EQ(bit_reverse_table[0xA5], 0xA5);
    EXPECT_EQ(bit_reverse_table[0xFF], 0xFF);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(bit_reverse_table[bit_reverse_table[i]], i);  // an involution
    }
}

TEST(AvailableVersions, UsbAndPowerRevisionsComeFromTheirImages) {
    BlobSource source = complete_set();
    source.blobs[407] = {0xC2, 0x09, 0x12, 0x01, 0x00, 0x26, 0x01, 0x00};
    source.blobs[408] = {0x9D, 0x06, 0x00, '2', '5', '0', '3', '1', '4', 0x9B};
    ASSERT_TRUE(image_set_load(source));
    const AvailableVersions versions = available_versions();
    EXPECT_STREQ(versions.usb_revision, "1.38");
    EXPECT_EQ(std::string(versions.power_revision, 6), "250314");
}

}  // namespace
