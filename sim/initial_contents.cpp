#include "sim/initial_contents.h"

#include <cstddef>
#include <vector>

#include "sim/pmbus_script.h"

namespace sim {
namespace {

void load_flash(std::array<NorFlash, 2>& flashes, const ImageSet& images, Contents contents) {
    if (contents == Contents::blank) {
        return;  // a new array is all 0xFF
    }
    for (int selector = 0; selector < FLASH_IMAGE_COUNT; ++selector) {
        const FlashPlacement placement = flash_placement(selector);
        const auto image = images.flash_image(selector);
        NorFlash& flash = flashes.at(static_cast<std::size_t>(placement.device));
        if (contents == Contents::current) {
            flash.load(placement.start, image);
        } else {
            flash.load(placement.start, older_flash_image(image));
        }
    }
}

void load_eeprom(BootEeprom& eeprom, const ImageSet& images, Contents contents,
                 std::int32_t device_number) {
    eeprom.fill(0xFF);
    if (contents == Contents::current) {
        eeprom.write(0, images.usb_firmware);
    } else if (contents == Contents::older) {
        eeprom.write(0, older_usb_firmware(images.usb_firmware));
    }
    eeprom.write_id_block(device_number);
}

// An older configuration: an earlier date and every fifth word setting one
// higher, in working and stored values alike.
void make_supply_older(PowerSupply& supply, std::span<const std::uint8_t> script) {
    int page = 0;
    int words = 0;
    for_each_script_record(script, [&](const ScriptRecord& record) {
        if (record.code == pmbus::PAGE) {
            page = static_cast<std::uint8_t>(record.value);
        } else if (record.code == pmbus::MFR_DATE) {
            const auto date = older_date(record.block);
            supply.set_working(record.code, date);
            supply.set_stored(record.code, date);
        } else if (pmbus_value_size(record.command.kind) == 2 && words++ % 5 == 0) {
            const auto changed = static_cast<std::uint16_t>(record.value + 1);
            const std::vector<std::uint8_t> value{static_cast<std::uint8_t>(changed),
                                                  static_cast<std::uint8_t>(changed >> 8)};
            supply.set_working(record.code, value, page);
            supply.set_stored(record.code, value, page);
        }
    });
}

void load_supplies(std::array<PowerSupply, 2>& supplies, const ImageSet& images,
                   Contents contents) {
    if (contents == Contents::blank) {
        return;  // factory state: nothing set
    }
    const std::span<const std::uint8_t> scripts[2] = {images.supply_a_script,
                                                      images.supply_b_script};
    for (std::size_t which = 0; which < 2; ++which) {
        supplies.at(which).apply_script(scripts[which]);
        if (contents == Contents::older) {
            make_supply_older(supplies.at(which), scripts[which]);
        }
    }
}

}  // namespace

void load_initial_contents(std::array<NorFlash, 2>& flashes, BootEeprom& eeprom,
                           std::array<PowerSupply, 2>& supplies, const ImageSet& images,
                           const InitialState& initial, std::int32_t device_number) {
    load_flash(flashes, images, initial.flash);
    load_eeprom(eeprom, images, initial.eeprom, device_number);
    load_supplies(supplies, images, initial.supplies);
}

}  // namespace sim
