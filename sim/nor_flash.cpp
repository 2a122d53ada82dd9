#include "sim/nor_flash.h"

#include <algorithm>

namespace sim {

NorFlash::NorFlash(std::uint8_t capacity_code)
    : capacity_code_(capacity_code), bytes_(SIZE, 0xFF) {}

std::uint32_t NorFlash::sector_size() const {
    return capacity_code_ > 23 ? 0x40000U : 0x10000U;
}

void NorFlash::program(std::uint32_t address, std::span<const std::uint8_t> data) {
    const std::uint32_t start = address % SIZE;
    const std::uint32_t page = start - start % PAGE_SIZE;
    const std::size_t count = std::min<std::size_t>(data.size(), PAGE_SIZE);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t offset =
            (start % PAGE_SIZE + static_cast<std::uint32_t>(i)) % PAGE_SIZE;
        bytes_[page + offset] &= data[i];
    }
}

void NorFlash::erase_sector(std::uint32_t address) {
    const std::uint32_t size = sector_size();
    const std::uint32_t start = address % SIZE / size * size;
    std::fill_n(bytes_.begin() + start, size, std::uint8_t{0xFF});
}

void NorFlash::load(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (address >= SIZE) {
        return;
    }
    const std::size_t count = std::min<std::size_t>(data.size(), SIZE - address);
    std::copy_n(data.begin(), count, bytes_.begin() + address);
}

void NorFlash::force_bits(std::uint32_t address, std::uint8_t mask) {
    bytes_[address % SIZE] |= mask;
}

std::span<const std::uint8_t> NorFlash::read(std::uint32_t address, std::uint32_t count) const {
    if (address >= SIZE) {
        return {};
    }
    return std::span<const std::uint8_t>(bytes_).subspan(address, std::min(count, SIZE - address));
}

}  // namespace sim
