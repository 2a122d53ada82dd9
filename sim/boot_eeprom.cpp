#include "sim/boot_eeprom.h"

#include <algorithm>

namespace sim {
std::size_t BootEeprom::read(std::uint32_t address, std::span<std::uint8_t> out) const {
    if (address >= EEPROM_SIZE) {
        return 0;
    }
    const std::size_t count = std::min<std::size_t>(out.size(), EEPROM_SIZE - address);
    std::copy_n(bytes_.begin() + address, count, out.begin());
    return count;
}

bool BootEeprom::write(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (address > EEPROM_SIZE || data.size() > EEPROM_SIZE - address) {
        return false;
    }
    std::copy(data.begin(), data.end(), bytes_.begin() + address);
    return true;
}

void BootEeprom::page_write(std::uint32_t address, std::span<const std::uint8_t> data) {
    const std::uint32_t start = address % EEPROM_SIZE;
    const std::uint32_t page = start - start % PAGE_SIZE;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto offset = static_cast<std::uint32_t>((start % PAGE_SIZE + i) % PAGE_SIZE);
        bytes_[page + offset] = data[i];
    }
}

void BootEeprom::write_id_block(std::int32_t device_number) {
    std::array<std::uint8_t, ID_BLOCK_SIZE> block{};
    const auto number = static_cast<std::uint32_t>(device_number);
    for (std::size_t i = 0; i < 4; ++i) {
        block[4 + i] = static_cast<std::uint8_t>(number >> (8 * i));
    }
    write(ID_BLOCK_ADDRESS, block);
}

std::int32_t BootEeprom::device_number() const {
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        number |= std::uint32_t{bytes_[ID_BLOCK_ADDRESS + 4 + i]} << (8 * i);
    }
    return static_cast<std::int32_t>(number);
}

}  // namespace sim
