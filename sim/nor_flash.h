#pragma once
// One configuration flash device as a strict NOR model: programming can only
// clear bits (the data is AND-ed into the array, within one 256-byte page),
// and erasing sets a whole sector back to 0xFF. The array is 16 MiB; the
// capacity code it reports decides its sector size.
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

class NorFlash {
  public:
    static constexpr std::uint32_t SIZE = 16 * 1024 * 1024;
    static constexpr std::uint32_t PAGE_SIZE = 256;
    static constexpr std::uint8_t JEDEC_MANUFACTURER = 0x20;
    static constexpr std::uint8_t JEDEC_MEMORY_TYPE = 0x20;

    explicit NorFlash(std::uint8_t capacity_code = 0x18);

    std::uint8_t capacity_code() const { return capacity_code_; }
    // 256 KiB for capacity codes above 23, else 64 KiB.
    std::uint32_t sector_size() const;

    // Page program at address: byte i lands at the page's start plus
    // (address + i) modulo the page size, as a real page buffer wraps.
    // Addresses beyond the array wrap around it.
    void program(std::uint32_t address, std::span<const std::uint8_t> data);
    // Erases the sector that holds address.
    void erase_sector(std::uint32_t address);

    // Places bytes directly, bypassing NOR rules: the contents a device left
    // the factory or an earlier run with. Bytes beyond the array are dropped.
    void load(std::uint32_t address, std::span<const std::uint8_t> data);
    // Sets bits without an erase (a bit stuck at 1).
    void force_bits(std::uint32_t address, std::uint8_t mask);

    std::uint8_t at(std::uint32_t address) const { return bytes_[address % SIZE]; }
    // Up to count bytes from address, never past the end of the array.
    std::span<const std::uint8_t> read(std::uint32_t address, std::uint32_t count) const;
    std::span<const std::uint8_t> bytes() const { return bytes_; }

  private:
    std::uint8_t capacity_code_;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace sim
