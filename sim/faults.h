#pragma once
// Faults a test can switch on in one instrument. Each is off by default. A
// Trigger decides, event by event, whether its fault applies: after letting
// `skip` eligible events pass, it fires at most `times` times (-1: without
// end), each time with the given probability drawn from the faults' own
// seeded generator, so a run with faults is as repeatable as one without.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace sim {

// A small deterministic generator (xorshift64*), the same on every platform.
class Rng {
  public:
    explicit Rng(std::uint64_t seed = 1) : state_(seed != 0 ? seed : 0x9E3779B97F4A7C15ULL) {}
    std::uint64_t next();
    double uniform();  // in [0, 1)
    std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 56); }

  private:
    std::uint64_t state_;
};

struct Trigger {
    std::uint32_t skip = 0;
    std::int32_t times = 0;  // 0: off
    double probability = 1.0;

    static Trigger once(std::uint32_t skip = 0) { return {skip, 1, 1.0}; }
    static Trigger count(std::int32_t times, std::uint32_t skip = 0) { return {skip, times, 1.0}; }
    static Trigger always() { return {0, -1, 1.0}; }
    static Trigger randomly(double probability) { return {0, -1, probability}; }

    bool armed() const { return times != 0; }
    // Counts one eligible event; true when the fault applies to it.
    bool fire(Rng& rng);
};

struct AddressRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;  // inclusive
    bool contains(std::uint32_t address) const { return address >= first && address <= last; }
};

// A flash bit that cannot be cleared: programming leaves the masked bits at 1.
struct StuckBit {
    int device = 0;
    std::uint32_t address = 0;
    std::uint8_t mask = 0;
};

struct Faults {
    Rng rng{1};

    // Reply frames of the flash core.
    Trigger drop_reply;
    Trigger delay_reply;
    std::uint64_t reply_delay_us = 600'000;  // past the longest read timeout of the host
    Trigger duplicate_reply;                 // the frame comes twice
    Trigger stale_reply;                     // an earlier reply comes again before it
    Trigger garbage_before_reply;
    std::size_t garbage_length = 5;

    // Bulk transfers.
    std::size_t max_bytes_per_read = 0;  // 0: a read takes whatever is queued, up to its length
    Trigger partial_write;
    std::size_t partial_write_bytes = 0;  // bytes a partial write takes; 0: half of them

    // Control transfers, by request number: failed (no bytes) or short (one byte
    // less; a short host-to-device request is not carried out).
    std::map<std::uint8_t, Trigger> control_fail;
    std::map<std::uint8_t, Trigger> control_short;

    // Restart: the device ignores it, or leaves and stays away for as long as
    // this is set (cleared, it comes back at once; plug_in also brings it).
    bool restart_does_not_leave = false;
    bool restart_does_not_come_back = false;

    // Boot EEPROM: writes touching the range are not acknowledged; reads of an
    // address return the mapped value instead of the stored one.
    std::optional<AddressRange> eeprom_write_nack;
    std::map<std::uint16_t, std::uint8_t> eeprom_read_corruption;
    // A write that is acknowledged in full but stores other bytes: every byte
    // it carries is stored with its bits inverted (a lost or mangled page).
    Trigger eeprom_write_lost;
    // The instrument loses power in the middle of the EEPROM write request with
    // this number (counted from 0 over the instrument's life): only the first
    // eeprom_cut_prefix_bytes of its bytes are stored, and the request fails.
    std::optional<std::size_t> power_loss_at_eeprom_write;
    std::size_t eeprom_cut_prefix_bytes = 0;

    // Power supplies: commands not acknowledged, by command code (both supplies).
    std::map<std::uint8_t, Trigger> pmbus_nack;
    // STORE_DEFAULT_ALL acknowledged but not carried out (both supplies).
    Trigger pmbus_store_ignored;

    std::vector<StuckBit> stuck_bits;

    // The instrument loses power when the transfer with this index (its
    // position in the transfer record) begins; the transfer fails.
    std::optional<std::size_t> power_loss_at_transfer;
    // From the transfer with this index on, the host reaches the instrument no
    // more (its process was killed): every transfer fails and does nothing,
    // while the instrument keeps power and every register as it was.
    std::optional<std::size_t> host_gone_from_transfer;
};

// Fires the trigger stored under key, if there is one.
bool fire_keyed(std::map<std::uint8_t, Trigger>& triggers, std::uint8_t key, Rng& rng);

}  // namespace sim
