#pragma once
// The first bytes of a worker fuzz input: the command, the instrument's
// options, what each of its eight items holds, and the simulator's own faults.
// Every byte left at zero gives the plain case (a Program run on an
// instrument that holds the whole set, with no faults), so the empty input
// is a clean Program run.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "flash/flash_layout.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/worker_tampering_backend.h"
#include "sim/pmbus_script.h"
#include "sim/sim.h"

namespace worker_fuzz {

// What a flash region holds: the embedded image, an older one, nothing
// (erased), or the image's end with its start still erased (as a Program run
// stopped while writing leaves it: it writes from the last page to the first).
enum class FlashContents : std::uint8_t { current, older, blank, torn };

// What a supply holds: the script's settings stored, an older configuration,
// nothing set, or the script's settings working with an older date stored
// (as a run stopped between the script and its store leaves it).
enum class SupplyContents : std::uint8_t { current, older, blank, unstored };

struct Scenario {
    bool program_mode = true;
    sim::InstrumentConfig instrument;
    std::array<FlashContents, sim::FLASH_IMAGE_COUNT> flash{};
    bool eeprom_older = false;
    std::array<SupplyContents, 2> supplies{};
    std::uint8_t torn_at = 0;  // a torn region's erased start, in 256ths of its length
    sim::Faults faults;
};

// Capacity codes a flash may report: 16 MiB (256 KiB sectors), 8 MiB (64 KiB
// sectors), 32 MiB, and a flash that does not identify.
constexpr std::uint8_t CAPACITY_CODES[] = {0x18, 0x17, 0x19, 0x00};

inline sim::Trigger read_trigger(FuzzInput& input) {
    const std::uint32_t skip = read_count(input);
    const std::uint8_t mode = input.byte();
    const int value = mode >> 2;  // 0 to 63
    switch (mode % 4) {
        case 0:
            return sim::Trigger::once(skip);
        case 1:
            return sim::Trigger::count(2 + value % 7, skip);
        case 2:
            return {skip, -1, 0.001 + 0.05 * value / 63.0};
        default:
            return {skip, -1, 1.0};
    }
}

// One of the simulator's faults, as the campaign draws them. Each leaves the
// instrument's stored contents honest: an EEPROM read corrupted at an address
// inside the boot image always reads other than the image's byte there.
inline void read_fault(FuzzInput& input, const sim::SyntheticImages& images, sim::Faults& faults) {
    constexpr std::uint8_t FAILING_REQUESTS[] = {VREQ_BUS_TRANSFER, VREQ_BUS_ACCESS,
                                                 VREQ_FPGA_STATUS, VREQ_FPGA_CONFIG};
    switch (input.byte() % 16) {
        case 0:
            faults.drop_reply = read_trigger(input);
            break;
        case 1:
            faults.delay_reply = read_trigger(input);
            break;
        case 2:
            faults.duplicate_reply = read_trigger(input);
            break;
        case 3:
            faults.stale_reply = read_trigger(input);
            break;
        case 4:
            faults.garbage_before_reply = read_trigger(input);
            faults.garbage_length = 1 + input.byte() % 40;
            break;
        case 5:
            faults.max_bytes_per_read = 1 + input.byte();
            break;
        case 6:
            faults.partial_write = read_trigger(input);
            faults.partial_write_bytes = input.byte();
            break;
        case 7: {
            const std::uint8_t request = FAILING_REQUESTS[input.byte() % 4];
            faults.control_fail[request] = read_trigger(input);
            break;
        }
        case 8: {
            const std::uint8_t request = FAILING_REQUESTS[input.byte() % 4];
            faults.control_short[request] = read_trigger(input);
            break;
        }
        case 9: {
            const std::uint32_t first = read_count(input) % images.usb_firmware.size();
            faults.eeprom_write_nack = sim::AddressRange{first, first + input.byte()};
            break;
        }
        case 10: {
            const std::size_t at = read_count(input) % images.usb_firmware.size();
            const auto flip = static_cast<std::uint8_t>(input.byte() | 1);
            faults.eeprom_read_corruption[static_cast<std::uint16_t>(at)] =
                static_cast<std::uint8_t>(images.usb_firmware[at] ^ flip);
            break;
        }
        case 11:
            faults.eeprom_write_lost = read_trigger(input);
            break;
        case 12: {
            std::vector<std::uint8_t> codes;
            sim::for_each_script_record(images.supply_a_script, [&](const sim::ScriptRecord& r) {
                codes.push_back(r.code);
            });
            const std::uint8_t code = codes[input.byte() % codes.size()];
            faults.pmbus_nack[code] = read_trigger(input);
            break;
        }
        case 13:
            faults.pmbus_store_ignored = read_trigger(input);
            break;
        case 14: {
            const int selector = input.byte() % sim::FLASH_IMAGE_COUNT;
            const sim::FlashPlacement placement = sim::flash_placement(selector);
            const auto length = images.set().flash_image(selector).size();
            sim::StuckBit bit;
            bit.device = placement.device;
            bit.address = placement.start + static_cast<std::uint32_t>(read_count(input) % length);
            bit.mask = static_cast<std::uint8_t>(1U << (input.byte() % 8));
            faults.stuck_bits.push_back(bit);
            break;
        }
        default:
            if (input.byte() % 2 == 0) {
                faults.power_loss_at_transfer = read_count(input);
            } else {
                faults.host_gone_from_transfer = read_count(input);
            }
            break;
    }
}

// The read reply sizes an instrument may use: the core's default, or 256 to
// 4,320 bytes in steps of 16 (past 4,096 a reply no longer fits the host's
// payload buffer).
inline std::uint32_t read_reply_bytes(std::uint8_t choice) {
    return choice == 0 ? sim::FlashCore::DEFAULT_READ_REPLY_BYTES : 240U + 16U * choice;
}

// The bitstream regions take the states their byte gives only when its high
// nibble says so: rewriting one takes seconds, against milliseconds for the
// other regions, which run the same erase, program and verify steps.
constexpr std::uint8_t BITSTREAM_STATES_TAKEN = 0xA;

inline Scenario read_scenario(FuzzInput& input, const sim::SyntheticImages& images) {
    Scenario scenario;
    const std::uint8_t options = input.byte();
    scenario.program_mode = (options & 0x01) == 0;
    scenario.instrument.capacity_codes = {CAPACITY_CODES[(options >> 1) & 3],
                                          CAPACITY_CODES[(options >> 3) & 3]};
    scenario.instrument.linear11_reencoding = (options & 0x20) != 0;

    const std::uint8_t small_regions = input.byte();
    scenario.flash[SELECTOR_FIRMWARE] = static_cast<FlashContents>(small_regions & 3);
    scenario.flash[SELECTOR_FACTORY_FIRMWARE] =
        static_cast<FlashContents>((small_regions >> 2) & 3);
    scenario.flash[SELECTOR_CONFIGURATION_SEQUENCE] =
        static_cast<FlashContents>((small_regions >> 4) & 3);
    scenario.eeprom_older = (small_regions & 0x40) != 0;

    const std::uint8_t supplies = input.byte();
    scenario.supplies = {static_cast<SupplyContents>(supplies & 3),
                         static_cast<SupplyContents>((supplies >> 2) & 3)};

    const std::uint8_t bitstreams = input.byte();
    if (bitstreams >> 4 == BITSTREAM_STATES_TAKEN) {
        scenario.flash[SELECTOR_BITSTREAM] = static_cast<FlashContents>(bitstreams & 3);
        scenario.flash[SELECTOR_FACTORY_BITSTREAM] =
            static_cast<FlashContents>((bitstreams >> 2) & 3);
    }

    scenario.instrument.read_reply_bytes = read_reply_bytes(input.byte());
    scenario.torn_at = input.byte();

    const std::uint8_t fault_header = input.byte();
    scenario.faults.rng = sim::Rng(1 + (fault_header >> 2));
    for (int i = 0; i < fault_header % 4; ++i) {
        read_fault(input, images, scenario.faults);
    }
    return scenario;
}

// ---- the instrument's contents ----

inline std::vector<std::uint8_t> torn_image(std::span<const std::uint8_t> image,
                                            std::uint8_t torn_at) {
    std::vector<std::uint8_t> torn(image.size(), 0xFF);
    const std::size_t erased = std::max<std::size_t>(1, image.size() * torn_at / 256);
    std::copy(image.begin() + static_cast<long>(erased), image.end(),
              torn.begin() + static_cast<long>(erased));
    return torn;
}

// An older configuration, as an earlier release's script leaves it: an
// earlier date and every fifth word setting one higher, working and stored.
inline void make_supply_older(sim::PowerSupply& supply, std::span<const std::uint8_t> script) {
    int page = 0;
    int words = 0;
    sim::for_each_script_record(script, [&](const sim::ScriptRecord& record) {
        if (record.code == sim::pmbus::PAGE) {
            page = record.value & 0xFF;
        } else if (record.code == sim::pmbus::MFR_DATE) {
            const auto date = sim::older_date(record.block);
            supply.set_working(record.code, date);
            supply.set_stored(record.code, date);
        } else if (sim::pmbus_value_size(record.command.kind) == 2 && words++ % 5 == 0) {
            const auto changed = static_cast<std::uint16_t>(record.value + 1);
            const std::vector<std::uint8_t> value{static_cast<std::uint8_t>(changed),
                                                  static_cast<std::uint8_t>(changed >> 8)};
            supply.set_working(record.code, value, page);
            supply.set_stored(record.code, value, page);
        }
    });
}

// The script's settings working and stored, but an older date stored: the
// store never followed the script.
inline void make_supply_unstored(sim::PowerSupply& supply, std::span<const std::uint8_t> script) {
    sim::for_each_script_record(script, [&](const sim::ScriptRecord& record) {
        if (record.code == sim::pmbus::MFR_DATE) {
            supply.set_stored(record.code, sim::older_date(record.block));
        }
    });
}

// The instrument's configuration before it is attached: the flash regions
// start with the set, the supplies with nothing; load_contents does the rest.
inline sim::InstrumentConfig instrument_config(const Scenario& scenario, std::int32_t number) {
    sim::InstrumentConfig config = scenario.instrument;
    config.device_number = number;
    config.timing = sim::Timing::instant();
    config.record_bulk_data = false;
    config.initial.flash = sim::Contents::current;
    config.initial.eeprom = scenario.eeprom_older ? sim::Contents::older : sim::Contents::current;
    config.initial.supplies = sim::Contents::blank;
    return config;
}

inline void load_contents(sim::Instrument& instrument, const sim::ImageSet& set,
                          const Scenario& scenario) {
    for (int selector = 0; selector < sim::FLASH_IMAGE_COUNT; ++selector) {
        const sim::FlashPlacement placement = sim::flash_placement(selector);
        const auto image = set.flash_image(selector);
        sim::NorFlash& flash = instrument.flash(placement.device);
        switch (scenario.flash[static_cast<std::size_t>(selector)]) {
            case FlashContents::current:
                break;
            case FlashContents::older:
                flash.load(placement.start, sim::older_flash_image(image));
                break;
            case FlashContents::blank:
                flash.load(placement.start, std::vector<std::uint8_t>(image.size(), 0xFF));
                break;
            case FlashContents::torn:
                flash.load(placement.start, torn_image(image, scenario.torn_at));
                break;
        }
    }
    const std::span<const std::uint8_t> scripts[2] = {set.supply_a_script, set.supply_b_script};
    for (int which = 0; which < 2; ++which) {
        sim::PowerSupply& supply = instrument.supply(which);
        const auto script = scripts[which];
        switch (scenario.supplies[static_cast<std::size_t>(which)]) {
            case SupplyContents::current:
                instrument.apply_supply_script(which, script);
                break;
            case SupplyContents::older:
                instrument.apply_supply_script(which, script);
                make_supply_older(supply, script);
                break;
            case SupplyContents::blank:
                break;
            case SupplyContents::unstored:
                instrument.apply_supply_script(which, script);
                make_supply_unstored(supply, script);
                break;
        }
    }
}

}  // namespace worker_fuzz
