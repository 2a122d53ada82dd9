#pragma once
// One digital power supply on the on-board bus, as PMBus commands reach it:
// registers per output page (PAGE selects), a working value and a stored
// value of each, STORE_DEFAULT_ALL and RESTORE_DEFAULT_ALL between the two,
// and a power cycle that reloads the working values from the stored ones.
// A register never written reads as zero (an empty block).
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

namespace sim {

class PowerSupply {
  public:
    explicit PowerSupply(std::uint8_t bus_address, int page_count = 4);

    std::uint8_t bus_address() const { return bus_address_; }

    // A PMBus write of data to command code; false when not acknowledged
    // (unknown or read-only command, wrong data length, page out of range).
    bool write(std::uint8_t code, std::span<const std::uint8_t> data);
    // A PMBus read of out.size() bytes; false when not acknowledged. Blocks
    // come as their count byte and data; bytes beyond a value read as 0xFF.
    bool read(std::uint8_t code, std::span<std::uint8_t> out);

    void power_cycle();
    // Sets working and stored values to a script's settings, as a supply
    // configured with it and stored would hold them, and selects page 0.
    void apply_script(std::span<const std::uint8_t> script);

    // Whether the stored (or working) values hold every setting of a script,
    // page by page, as a supply configured with it and stored would.
    bool stores_script(std::span<const std::uint8_t> script) const;
    bool runs_script(std::span<const std::uint8_t> script) const;

    // LINEAR11 values read back in another encoding of the same number.
    void set_linear11_reencoding(bool on) { reencode_linear11_ = on; }

    int page() const { return page_; }
    // A register's value bytes (a block's data without its count); nullopt
    // when it was never set. index is the 0xD4 table for 0xD5, else 0.
    std::optional<std::vector<std::uint8_t>> working(std::uint8_t code, int page = 0,
                                                     int index = 0) const;
    std::optional<std::vector<std::uint8_t>> stored(std::uint8_t code, int page = 0,
                                                    int index = 0) const;
    void set_working(std::uint8_t code, std::vector<std::uint8_t> value, int page = 0,
                     int index = 0);
    void set_stored(std::uint8_t code, std::vector<std::uint8_t> value, int page = 0,
                    int index = 0);

  private:
    using Key = std::tuple<int, std::uint8_t, int>;  // page, command, table index
    using Registers = std::map<Key, std::vector<std::uint8_t>>;

    Key key_for(std::uint8_t code) const;
    Key key_for(std::uint8_t code, int page, int index) const;
    std::vector<std::uint8_t> value_of(const Registers& registers, const Key& key) const;
    void store_value(std::uint8_t code, std::vector<std::uint8_t> value, bool also_stored);
    bool holds_script(const Registers& registers, std::span<const std::uint8_t> script) const;

    std::uint8_t bus_address_;
    int page_count_;
    int page_ = 0;
    bool reencode_linear11_ = false;
    Registers working_;
    Registers stored_;
};

}  // namespace sim
