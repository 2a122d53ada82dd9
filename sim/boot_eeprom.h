#pragma once
// The USB controller's 16 KiB boot EEPROM at bus address 0x51: the C2 boot
// image from address 0, the 22-byte identification block at 0x3000.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

constexpr std::uint32_t EEPROM_SIZE = 16 * 1024;
constexpr std::uint32_t ID_BLOCK_ADDRESS = 0x3000;
constexpr std::size_t ID_BLOCK_SIZE = 22;

// What the controller enumerates with after it started.
struct BootIdentity {
    bool instrument_firmware = false;  // runs the instrument's firmware: its interface is present
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint16_t device_id = 0;
};

// A controller without a boot image comes up with its built-in identity and
// no instrument interface.
constexpr std::uint16_t CONTROLLER_DEFAULT_VENDOR_ID = 0x04B4;
constexpr std::uint16_t CONTROLLER_DEFAULT_PRODUCT_ID = 0x8613;
constexpr std::uint16_t CONTROLLER_DEFAULT_DEVICE_ID = 0xA001;

class BootEeprom {
  public:
    BootEeprom() { bytes_.fill(0xFF); }

    // Copies up to out.size() bytes from address, never past the end; the count.
    std::size_t read(std::uint32_t address, std::span<std::uint8_t> out) const;
    // Places bytes directly (a factory-programmed part, or what an earlier
    // run left); false (nothing written) when the data does not fit below the end.
    bool write(std::uint32_t address, std::span<const std::uint8_t> data);

    // One write as it reaches the part over the serial bus. Serial EEPROMs of
    // this size take a write into a page buffer of PAGE_SIZE bytes: the
    // address counter wraps within the page, so a write that crosses a page
    // boundary lands at the page's start, and of more than PAGE_SIZE bytes
    // only the last PAGE_SIZE remain (24xx64/24xx128 datasheets: 32- and
    // 64-byte pages; the smaller is modelled, the stricter of the two).
    // Then the part is busy for its write cycle (datasheets: tWR 5 ms at most)
    // and does not acknowledge its address until it ends.
    static constexpr std::uint32_t PAGE_SIZE = 32;
    void page_write(std::uint32_t address, std::span<const std::uint8_t> data);

    void fill(std::uint8_t value) { bytes_.fill(value); }
    void write_id_block(std::int32_t device_number);
    std::int32_t device_number() const;

    std::span<const std::uint8_t> bytes() const { return bytes_; }

  private:
    std::array<std::uint8_t, EEPROM_SIZE> bytes_;
};

}  // namespace sim
