#pragma once
// One seeded fault schedule of the campaign: the instrument's contents, the
// command, and one or two faults with their triggers, all drawn from the seed.
#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/pmbus_script.h"
#include "sim/sim.h"
#include "support/sim_fixture.h"

struct FaultSchedule {
    std::uint64_t seed = 0;
    bool program_mode = true;
    sim::InstrumentConfig instrument;
    std::vector<std::string> kinds;
    std::vector<std::function<void(sim::Faults&)>> faults;
    // A "Refresh" click when the host's transfer with this number goes out.
    std::optional<std::size_t> refresh_at_transfer;
    // When the run leaves a bare controller, the first recovery meets these:
    // a power cut at this transfer of the recovery (its firmware load comes
    // first), or a stop asked for at this transfer of it.
    std::optional<std::size_t> recovery_power_cut_at;
    std::optional<std::size_t> recovery_stop_at;

    void arm(sim::Instrument& instrument_under_test) const {
        instrument_under_test.faults().rng = sim::Rng(seed * 7919 + 1);
        for (const auto& fault : faults) {
            fault(instrument_under_test.faults());
        }
    }
    void disarm(sim::Instrument& instrument_under_test) const {
        instrument_under_test.faults() = sim::Faults{};
    }
    std::string describe() const {
        std::string text = program_mode ? "program" : "verify";
        for (const std::string& kind : kinds) {
            text += ", " + kind;
        }
        return text;
    }
};

namespace fault_schedule_detail {

inline sim::Trigger random_trigger(sim::Rng& rng, std::uint32_t skip_range) {
    const auto skip = static_cast<std::uint32_t>(rng.next() % (skip_range + 1));
    switch (rng.next() % 3) {
        case 0: return sim::Trigger::once(skip);
        case 1: return sim::Trigger::count(static_cast<std::int32_t>(2 + rng.next() % 6), skip);
        default: return {skip, -1, 0.001 + rng.uniform() * 0.02};
    }
}

inline sim::Contents random_contents(sim::Rng& rng) {
    const auto draw = rng.next() % 10;
    return draw < 6 ? sim::Contents::older : draw < 9 ? sim::Contents::current : sim::Contents::blank;
}

struct FaultKind {
    const char* name;
    std::function<std::function<void(sim::Faults&)>(sim::Rng&, const sim::SyntheticImages&)> make;
};

inline const std::vector<FaultKind>& fault_kinds() {
    static const std::vector<FaultKind> kinds = {
        {"reply dropped", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const sim::Trigger trigger = random_trigger(rng, 4000);
             return [trigger](sim::Faults& f) { f.drop_reply = trigger; };
         }},
        {"reply delayed", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const sim::Trigger trigger = random_trigger(rng, 4000);
             return [trigger](sim::Faults& f) { f.delay_reply = trigger; };
         }},
        {"reply duplicated", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const sim::Trigger trigger = random_trigger(rng, 4000);
             return [trigger](sim::Faults& f) { f.duplicate_reply = trigger; };
         }},
        {"stale reply", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const sim::Trigger trigger = random_trigger(rng, 4000);
             return [trigger](sim::Faults& f) { f.stale_reply = trigger; };
         }},
        {"garbage between frames", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const sim::Trigger trigger = random_trigger(rng, 4000);
             const std::size_t length = 1 + rng.next() % 40;
             return [trigger, length](sim::Faults& f) {
                 f.garbage_before_reply = trigger;
                 f.garbage_length = length;
             };
         }},
        {"frames split", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const std::size_t bytes = 1 + rng.next() % 64;
             return [bytes](sim::Faults& f) { f.max_bytes_per_read = bytes; };
         }},
        {"partial write", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const sim::Trigger trigger = random_trigger(rng, 4000);
             return [trigger](sim::Faults& f) { f.partial_write = trigger; };
         }},
        {"control failed", [](sim::Rng& rng, const sim::SyntheticImages&) {
             static const std::uint8_t requests[] = {176, 183, 193, 194};
             const std::uint8_t request = requests[rng.next() % 4];
             const sim::Trigger trigger = random_trigger(rng, 200);
             return [request, trigger](sim::Faults& f) { f.control_fail[request] = trigger; };
         }},
        {"control short", [](sim::Rng& rng, const sim::SyntheticImages&) {
             static const std::uint8_t requests[] = {176, 193, 194};
             const std::uint8_t request = requests[rng.next() % 3];
             const sim::Trigger trigger = random_trigger(rng, 200);
             return [request, trigger](sim::Faults& f) { f.control_short[request] = trigger; };
         }},
        {"EEPROM write NACK", [](sim::Rng& rng, const sim::SyntheticImages& images) {
             const auto at = static_cast<std::uint32_t>(rng.next() % images.usb_firmware.size());
             return [at](sim::Faults& f) { f.eeprom_write_nack = sim::AddressRange{at, at}; };
         }},
        {"EEPROM read corrupted", [](sim::Rng& rng, const sim::SyntheticImages& images) {
             const auto at = static_cast<std::uint16_t>(rng.next() % images.usb_firmware.size());
             const std::uint8_t value = static_cast<std::uint8_t>(images.usb_firmware[at] ^ 0x5A);
             return [at, value](sim::Faults& f) { f.eeprom_read_corruption[at] = value; };
         }},
        {"PMBus NACK", [](sim::Rng& rng, const sim::SyntheticImages& images) {
             std::vector<std::uint8_t> codes;
             sim::for_each_script_record(images.supply_a_script,
                                         [&](const sim::ScriptRecord& r) { codes.push_back(r.code); });
             const std::uint8_t code = codes.empty() ? 0x21 : codes[rng.next() % codes.size()];
             const sim::Trigger trigger = random_trigger(rng, 3);
             return [code, trigger](sim::Faults& f) { f.pmbus_nack[code] = trigger; };
         }},
        {"stuck flash bit", [](sim::Rng& rng, const sim::SyntheticImages& images) {
             const int selector = static_cast<int>(rng.next() % sim::FLASH_IMAGE_COUNT);
             const sim::FlashPlacement placement = sim::flash_placement(selector);
             const auto length = images.set().flash_image(selector).size();
             sim::StuckBit bit;
             bit.device = placement.device;
             bit.address = placement.start + static_cast<std::uint32_t>(rng.next() % length);
             bit.mask = static_cast<std::uint8_t>(1U << (rng.next() % 8));
             return [bit](sim::Faults& f) { f.stuck_bits.push_back(bit); };
         }},
        {"power loss", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const std::size_t at = rng.next() % 40000;
             return [at](sim::Faults& f) { f.power_loss_at_transfer = at; };
         }},
        {"restart: does not leave", [](sim::Rng&, const sim::SyntheticImages&) {
             return [](sim::Faults& f) { f.restart_does_not_leave = true; };
         }},
        {"restart: does not return", [](sim::Rng&, const sim::SyntheticImages&) {
             return [](sim::Faults& f) { f.restart_does_not_come_back = true; };
         }},
    };
    return kinds;
}

// What stops a run from outside the instrument's own faults: the host gone at
// a transfer (the instrument keeps power and its working registers), a store
// the supply ignores, an EEPROM write that stores other bytes, a click on
// "Refresh" in the middle of a run. Drawn from a generator of their own, so
// every seed keeps the faults it had before they were added.
inline const std::vector<FaultKind>& interruption_kinds() {
    static const std::vector<FaultKind> kinds = {
        {"host stops", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const std::size_t at = rng.next() % 40000;
             return [at](sim::Faults& f) { f.host_gone_from_transfer = at; };
         }},
        {"store ignored", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const sim::Trigger trigger = random_trigger(rng, 3);
             return [trigger](sim::Faults& f) { f.pmbus_store_ignored = trigger; };
         }},
        {"EEPROM write lost", [](sim::Rng& rng, const sim::SyntheticImages&) {
             const sim::Trigger trigger = random_trigger(rng, 260);
             return [trigger](sim::Faults& f) { f.eeprom_write_lost = trigger; };
         }},
        {"Refresh during the run", nullptr},
    };
    return kinds;
}

}  // namespace fault_schedule_detail

namespace fault_schedule_detail {

// Faults aimed at the boot EEPROM's write and at the recovery of a bare
// controller, drawn from a generator of their own so that every seed keeps
// the faults it had before they were added.
inline void draw_eeprom_and_recovery_faults(FaultSchedule& schedule, const sim::SyntheticImages& images) {
    sim::Rng rng(schedule.seed * 0xA24BAED4963EE407ULL + 11);
    if (rng.next() % 3 == 0) {
        // The write requests of one programming: the withdrawn marker, every
        // page, the commit, and a few rewrites.
        const std::size_t writes = images.usb_firmware.size() / 32 + 6;
        const std::size_t at = rng.next() % writes;
        const std::size_t prefix = rng.next() % 33;
        schedule.kinds.emplace_back("EEPROM power cut");
        schedule.faults.push_back([at, prefix](sim::Faults& f) {
            f.power_loss_at_eeprom_write = at;
            f.eeprom_cut_prefix_bytes = prefix;
        });
    }
    const auto recovery = rng.next() % 4;
    if (recovery == 0) {
        schedule.recovery_power_cut_at = rng.next() % 16;
    } else if (recovery == 1) {
        schedule.recovery_stop_at = rng.next() % 40000;
    }
}

}  // namespace fault_schedule_detail

inline FaultSchedule make_fault_schedule(std::uint64_t seed, const sim::SyntheticImages& images) {
    using namespace fault_schedule_detail;
    sim::Rng rng(seed * 0x9E3779B97F4A7C15ULL + 17);
    FaultSchedule schedule;
    schedule.seed = seed;
    schedule.program_mode = rng.next() % 10 < 7;
    schedule.instrument.timing = sim::Timing::instant();
    schedule.instrument.initial = {random_contents(rng), random_contents(rng), random_contents(rng)};
    // An instrument whose EEPROM holds no firmware does not show its interface.
    if (schedule.instrument.initial.eeprom == sim::Contents::blank) {
        schedule.instrument.initial.eeprom = sim::Contents::older;
    }
    schedule.instrument.record_bulk_data = false;
    schedule.instrument.read_reply_bytes = rng.next() % 4 == 0
                                               ? static_cast<std::uint32_t>(4 + 4 * (rng.next() % 256))
                                               : sim::FlashCore::DEFAULT_READ_REPLY_BYTES;
    const auto& kinds = fault_kinds();
    const std::size_t count = 1 + rng.next() % 2;
    for (std::size_t i = 0; i < count; ++i) {
        const FaultKind& kind = kinds[rng.next() % kinds.size()];
        if (std::find(schedule.kinds.begin(), schedule.kinds.end(), kind.name) != schedule.kinds.end()) {
            continue;
        }
        schedule.kinds.emplace_back(kind.name);
        schedule.faults.push_back(kind.make(rng, images));
    }
    sim::Rng interruption_rng(seed * 0xD1B54A32D192ED03ULL + 3);
    if (interruption_rng.next() % 3 == 0) {
        const auto& interruptions = interruption_kinds();
        const FaultKind& kind = interruptions[interruption_rng.next() % interruptions.size()];
        schedule.kinds.emplace_back(kind.name);
        if (kind.make) {
            schedule.faults.push_back(kind.make(interruption_rng, images));
        } else {
            schedule.refresh_at_transfer = interruption_rng.next() % 40000;
        }
    }
    draw_eeprom_and_recovery_faults(schedule, images);
    return schedule;
}

// Whether every item the program installs holds exactly the embedded set.
inline bool instrument_holds_set(const sim::Instrument& instrument,
                                 const sim::SyntheticImages& images) {
    return sim_support::instrument_holds_set(instrument, images.set());
}
