#pragma once
// The embedded image set: the catalogue, the loading rules, and the
// bit-reversal table of the flash core upload.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "images/image_ids.h"

// One embedded image: the resource's bytes as mapped, never copied, valid for
// the life of the process.
struct FirmwareImage {
    const std::uint8_t* data = nullptr;
    std::int32_t length = 0;

    std::span<const std::uint8_t> bytes() const {
        return {data, data != nullptr && length > 0 ? static_cast<std::size_t>(length) : 0U};
    }
};

// Where the images come from: RCDATA resources on Windows, linked-in data
// elsewhere, in-memory blobs in tests.
class ResourceSource {
public:
    virtual ~ResourceSource() = default;
    // The resource's size in bytes; nullopt when there is no such resource.
    virtual std::optional<std::uint32_t> resource_size(int id) = 0;
    // Maps the resource; nullptr when it cannot be mapped.
    virtual const std::uint8_t* resource_bytes(int id) = 0;
};

// A bitstream resource must be larger than this to be loaded at all.
constexpr std::uint32_t BITSTREAM_MIN_EXCLUSIVE = 0xFFFFF;
// The raw configuration data must start (four 0xFF bytes) within this many bytes.
constexpr int BITSTREAM_HEADER_SEARCH = 256;

// The size limits the loading rules apply. The program always loads with the
// defaults; the fuzz target lowers the bitstream minimum so that the same rules
// run on small resources. The region capacities (images/image_regions.h) stay
// as they are: small images fit them.
struct ImageLoadingLimits {
    // A bitstream resource must be larger than this to be loaded at all.
    std::uint32_t bitstream_min_exclusive = BITSTREAM_MIN_EXCLUSIVE;
};

// Loads the catalogue in its order and by its rules into the process-wide
// images; true when the set is complete and every image that is stored on the
// instrument fits its region there (images/image_regions.h).
bool image_set_load(ResourceSource& source);
// The same with other limits.
bool image_set_load(ResourceSource& source, const ImageLoadingLimits& limits);
// The loaded image of one id (an empty image for an unknown id).
const FirmwareImage& firmware_image(int id);
// What the image is for, in a few words ("flash core", "bitstream", ...).
const char* image_role(int id);

// What the window shows as the versions available.
struct AvailableVersions {
    std::uint32_t fpga_revision = 0;
    std::uint32_t firmware_revision = 0;
    char usb_revision[16] = {};   // "%d.%02d" of the USB firmware's device id
    char power_revision[7] = {};  // the six characters of supply A's MFR_DATE
};
AvailableVersions available_versions();

// A supply script's date: the six characters of its leading MFR_DATE record
// (command, count, then the date), or empty when the script is shorter.
std::string_view script_mfr_date(std::span<const std::uint8_t> script);

// A USB firmware device id as the window shows it: "%d.%02d" of its high
// byte, then its low byte.
std::array<char, 16> usb_revision_text(std::uint8_t high, std::uint8_t low);

// Start-up's loading step: maps the set and builds bit_reverse_table. When
// the set is incomplete it shows the refusal message (error icon) and returns
// false; the program must then end with exit code 1.
class WindowPort;
bool startup_load_images(ResourceSource& source, WindowPort& port);

constexpr const char* STARTUP_REFUSAL_MESSAGE =
    "A required program component could not be loaded, please contact\r\n"
    "Talvenor AG for further assistance.";

// Entry i is i with its eight bits in reverse order. Built once at start-up.
extern std::array<std::uint8_t, 256> bit_reverse_table;
void bit_reverse_table_build();
