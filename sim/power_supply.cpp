#include "sim/power_supply.h"

#include <algorithm>

#include "sim/pmbus_commands.h"
#include "sim/pmbus_script.h"

namespace sim {
namespace {

// A script's value of a record, as the register holds it.
std::vector<std::uint8_t> script_value(const ScriptRecord& record) {
    if (pmbus_is_block(record.command.kind)) {
        return {record.block.begin(), record.block.end()};
    }
    std::vector<std::uint8_t> value{static_cast<std::uint8_t>(record.value)};
    if (pmbus_value_size(record.command.kind) == 2) {
        value.push_back(static_cast<std::uint8_t>(record.value >> 8));
    }
    return value;
}

}  // namespace

PowerSupply::PowerSupply(std::uint8_t bus_address, int page_count)
    : bus_address_(bus_address), page_count_(page_count) {}

PowerSupply::Key PowerSupply::key_for(std::uint8_t code, int page, int index) const {
    const PmbusCommand command = pmbus_command(code);
    return Key{command.paged ? page : 0, code, code == pmbus::TABLE_DATA ? index : 0};
}

PowerSupply::Key PowerSupply::key_for(std::uint8_t code) const {
    int index = 0;
    if (code == pmbus::TABLE_DATA) {
        const auto table = value_of(working_, key_for(pmbus::TABLE_SELECT, page_, 0));
        index = table.empty() ? 0 : table[0];
    }
    return key_for(code, page_, index);
}

std::vector<std::uint8_t> PowerSupply::value_of(const Registers& registers, const Key& key) const {
    const auto found = registers.find(key);
    if (found != registers.end()) {
        return found->second;
    }
    const int size = pmbus_value_size(pmbus_command(std::get<1>(key)).kind);
    return std::vector<std::uint8_t>(static_cast<std::size_t>(size), 0);
}

void PowerSupply::store_value(std::uint8_t code, std::vector<std::uint8_t> value,
                              bool also_stored) {
    if (code == pmbus::PAGE) {
        page_ = value.empty() ? 0 : value[0];
        return;  // the selection itself is not a setting: it is not stored
    }
    const Key key = key_for(code);
    if (also_stored) {
        stored_[key] = value;
    }
    working_[key] = std::move(value);
}

bool PowerSupply::write(std::uint8_t code, std::span<const std::uint8_t> data) {
    const PmbusCommand command = pmbus_command(code);
    if (command.kind == PmbusKind::unknown || !command.writable) {
        return false;
    }
    if (command.kind == PmbusKind::send) {
        if (!data.empty()) {
            return false;
        }
        // The other commands without data (0xDB among them, which halt,
        // power-cycle and the restart send to both supplies) are taken and
        // change nothing the model keeps: the model's decision, as what the
        // manufacturer's command does is not known. The restart itself does
        // not reach the supplies either: they keep power and their working
        // values while the USB controller restarts.
        if (code == pmbus::STORE_DEFAULT_ALL) {
            stored_ = working_;
        } else if (code == pmbus::RESTORE_DEFAULT_ALL) {
            working_ = stored_;
        }
        return true;
    }
    if (pmbus_is_block(command.kind)) {
        if (data.empty() || data.size() != std::size_t{data[0]} + 1) {
            return false;
        }
        store_value(code, std::vector<std::uint8_t>(data.begin() + 1, data.end()), false);
        return true;
    }
    if (data.size() != static_cast<std::size_t>(pmbus_value_size(command.kind))) {
        return false;
    }
    if (code == pmbus::PAGE && data[0] >= page_count_) {
        return false;
    }
    store_value(code, std::vector<std::uint8_t>(data.begin(), data.end()), false);
    return true;
}

bool PowerSupply::read(std::uint8_t code, std::span<std::uint8_t> out) {
    const PmbusCommand command = pmbus_command(code);
    if (command.kind == PmbusKind::unknown || command.kind == PmbusKind::send) {
        return false;
    }
    std::vector<std::uint8_t> value = value_of(working_, key_for(code));
    if (code == pmbus::PAGE) {
        value = {static_cast<std::uint8_t>(page_)};
    } else if (pmbus_is_block(command.kind)) {
        value.insert(value.begin(), static_cast<std::uint8_t>(value.size()));
    } else if (command.kind == PmbusKind::linear11 && reencode_linear11_ && value.size() == 2) {
        const auto word = linear11_reencode(static_cast<std::uint16_t>(value[0] | value[1] << 8));
        value = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)};
    }
    std::fill(out.begin(), out.end(), std::uint8_t{0xFF});
    std::copy_n(value.begin(), std::min(value.size(), out.size()), out.begin());
    return true;
}

void PowerSupply::power_cycle() {
    working_ = stored_;
    page_ = 0;
}

void PowerSupply::apply_script(std::span<const std::uint8_t> script) {
    page_ = 0;
    for_each_script_record(script, [this](const ScriptRecord& record) {
        if (record.command.kind != PmbusKind::send) {
            store_value(record.code, script_value(record), true);
        }
    });
    page_ = 0;
}

bool PowerSupply::holds_script(const Registers& registers,
                               std::span<const std::uint8_t> script) const {
    bool holds = true;
    int page = 0;
    int table = 0;
    for_each_script_record(script, [&](const ScriptRecord& record) {
        if (record.command.kind == PmbusKind::send) {
            return;
        }
        const std::vector<std::uint8_t> value = script_value(record);
        if (record.code == pmbus::PAGE) {
            page = value[0];
            return;
        }
        if (record.code == pmbus::TABLE_SELECT) {
            table = value[0];  // a selection, like the page: only the last one stays
            return;
        }
        if (value_of(registers, key_for(record.code, page, table)) != value) {
            holds = false;
        }
    });
    return holds;
}

bool PowerSupply::stores_script(std::span<const std::uint8_t> script) const {
    return holds_script(stored_, script);
}

bool PowerSupply::runs_script(std::span<const std::uint8_t> script) const {
    return holds_script(working_, script);
}

std::optional<std::vector<std::uint8_t>> PowerSupply::working(std::uint8_t code, int page,
                                                              int index) const {
    const auto found = working_.find(key_for(code, page, index));
    if (found == working_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::vector<std::uint8_t>> PowerSupply::stored(std::uint8_t code, int page,
                                                             int index) const {
    const auto found = stored_.find(key_for(code, page, index));
    if (found == stored_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void PowerSupply::set_working(std::uint8_t code, std::vector<std::uint8_t> value, int page,
                              int index) {
    working_[key_for(code, page, index)] = std::move(value);
}

void PowerSupply::set_stored(std::uint8_t code, std::vector<std::uint8_t> value, int page,
                             int index) {
    stored_[key_for(code, page, index)] = std::move(value);
}

}  // namespace sim
