#include "sim/flash_core.h"

#include <algorithm>

namespace sim {
namespace {

constexpr std::uint32_t OPCODE_CONTROL = 0x0;
constexpr std::uint32_t OPCODE_WRITE = 0x1;
constexpr std::uint32_t OPCODE_ERASE = 0x2;
constexpr std::uint32_t OPCODE_READ = 0x3;
constexpr std::uint32_t OPCODE_MODE = 0xF;

constexpr std::uint32_t CONTROL_IDENTIFY = 0x1;
constexpr std::uint32_t CONTROL_UPDATE_END_A = 0x2;
constexpr std::uint32_t CONTROL_UPDATE_BEGIN = 0x3;
constexpr std::uint32_t CONTROL_UPDATE_END_B = 0x4;
constexpr std::uint32_t CONTROL_SELECT = 0x5;

constexpr std::uint8_t GARBAGE_AVOIDED = 0x47;  // first magic byte: garbage never starts a frame

void put_le32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

std::uint32_t le32(std::span<const std::uint8_t> bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

}  // namespace

std::vector<std::uint8_t> make_frame(std::span<const std::uint8_t> payload) {
    const std::size_t words = (payload.size() + 3) / 4;
    std::vector<std::uint8_t> frame;
    frame.reserve(FRAME_HEADER_BYTES + words * 4);
    put_le32(frame, FRAME_MAGIC_WORD);
    put_le32(frame, static_cast<std::uint32_t>(words));
    put_le32(frame, 0);
    put_le32(frame, 0);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.resize(FRAME_HEADER_BYTES + words * 4, 0xFF);
    return frame;
}

std::vector<std::uint8_t> make_command_frame(std::uint32_t command_word,
                                             std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> payload(4 + data.size());
    for (std::size_t i = 0; i < 4; ++i) {
        payload[i] = static_cast<std::uint8_t>(command_word >> (8 * i));
    }
    std::copy(data.begin(), data.end(), payload.begin() + 4);
    return make_frame(payload);
}

FlashCore::FlashCore(std::array<NorFlash, 2>& flashes, InStream& replies, const Timing& timing,
                     Faults& faults)
    : flashes_(flashes), replies_(replies), timing_(timing), faults_(faults) {}

void FlashCore::reset() {
    state_ = 0;
    window_ = 0;
    counter_ = 0;
    words_ = 0;
    payload_.clear();
    selected_ = 0;
    mode_ = 0;
    updating_ = false;
    busy_until_us_ = 0;
    last_reply_.clear();
}

void FlashCore::set_read_reply_bytes(std::uint32_t bytes) {
    read_reply_bytes_ = std::max<std::uint32_t>(4, bytes / 4 * 4);
}

void FlashCore::receive(std::span<const std::uint8_t> bytes, std::uint64_t arrival_us) {
    for (const std::uint8_t byte : bytes) {
        consume(byte, arrival_us);
    }
}

// The same framing as the host's reply parser; a word count the core cannot
// hold sends it back to the magic search.
void FlashCore::consume(std::uint8_t byte, std::uint64_t arrival_us) {
    switch (state_) {
        case 0:
            window_ = window_ >> 8 | std::uint32_t{byte} << 24;
            if (window_ == FRAME_MAGIC_WORD) {
                counter_ = 0;
                state_ = 1;
            }
            return;
        case 1:
            window_ = window_ >> 8 | std::uint32_t{byte} << 24;
            if (++counter_ == 4) {
                words_ = window_;
                counter_ = 0;
                state_ = words_ >= 1 && words_ <= FRAME_MAX_WORDS ? 2 : 0;
            }
            return;
        case 2:
            if (++counter_ == 8) {
                counter_ = 0;
                payload_.clear();
                state_ = 3;
            }
            return;
        default:
            payload_.push_back(byte);
            if (payload_.size() == std::size_t{words_} * 4) {
                state_ = 0;
                execute(arrival_us);
            }
            return;
    }
}

void FlashCore::execute(std::uint64_t arrival_us) {
    ++frames_executed_;
    const std::uint32_t word = le32(payload_);
    const std::uint32_t address = word & 0x0FFFFFFFU;
    switch (word >> 28) {
        case OPCODE_CONTROL:
            execute_control(word, arrival_us);
            break;
        case OPCODE_WRITE:
            if (payload_.size() == 4 + NorFlash::PAGE_SIZE) {
                page_program(address, arrival_us);
            }
            break;
        case OPCODE_ERASE:
            erase(address, arrival_us);
            break;
        case OPCODE_READ:
            read(address, arrival_us);
            break;
        case OPCODE_MODE:
            mode_ = address;
            break;
        default:
            break;  // unknown opcodes are ignored, as the core has no error reply
    }
}

void FlashCore::execute_control(std::uint32_t word, std::uint64_t arrival_us) {
    const std::uint32_t parameter = word & 0x00FFFFFFU;
    switch (word >> 24 & 0xF) {
        case CONTROL_IDENTIFY: {
            const std::uint8_t id[4] = {NorFlash::JEDEC_MANUFACTURER, NorFlash::JEDEC_MEMORY_TYPE,
                                        flash().capacity_code(), 0x00};
            reply(id, arrival_us, timing_.identify_us);
            break;
        }
        case CONTROL_UPDATE_BEGIN:
            updating_ = true;
            break;
        case CONTROL_UPDATE_END_A:
        case CONTROL_UPDATE_END_B:
            updating_ = false;
            break;
        case CONTROL_SELECT:
            if (parameter <= 1) {
                selected_ = static_cast<int>(parameter);
            }
            break;
        default:
            break;
    }
}

std::uint64_t FlashCore::begin_operation(std::uint32_t first, std::uint32_t size,
                                         std::uint64_t arrival_us, std::uint64_t duration_us) {
    const std::uint64_t start = std::max(arrival_us, busy_until_us_);
    // Those that ended before this command arrived are behind any power loss to come.
    std::erase_if(operations_, [arrival_us](const TimedOperation& operation) {
        return operation.end_us <= arrival_us;
    });
    const auto before = flash().read(first, size);
    operations_.push_back(TimedOperation{selected_, first, {before.begin(), before.end()}, start,
                                         start + duration_us});
    return start + duration_us;
}

void FlashCore::lose_power(std::uint64_t now_us) {
    for (auto operation = operations_.rbegin(); operation != operations_.rend(); ++operation) {
        if (operation->end_us <= now_us) {
            continue;
        }
        // The part reached by now is done; the rest is as it was.
        const std::uint64_t span = operation->end_us - operation->start_us;
        const std::uint64_t done = now_us > operation->start_us ? now_us - operation->start_us : 0;
        const auto reached = static_cast<std::size_t>(
            span == 0 ? operation->before.size() : operation->before.size() * done / span);
        NorFlash& device = flashes_[static_cast<std::size_t>(operation->device)];
        device.load(operation->first + static_cast<std::uint32_t>(reached),
                    std::span<const std::uint8_t>(operation->before).subspan(reached));
    }
    operations_.clear();
}

// Erase and program only take effect in the update mode, between
// UPDATE_BEGIN and the closing pair (the flash stays write-protected
// otherwise), but are answered anyway.
void FlashCore::page_program(std::uint32_t address, std::uint64_t arrival_us) {
    const auto data = std::span<const std::uint8_t>(payload_).subspan(4);
    if (may_change_flash()) {
        const std::uint32_t page_start =
            address % NorFlash::SIZE / NorFlash::PAGE_SIZE * NorFlash::PAGE_SIZE;
        begin_operation(page_start, NorFlash::PAGE_SIZE, arrival_us, timing_.page_program_us);
        flash().program(address, data);
        const std::uint32_t page =
            address % NorFlash::SIZE / NorFlash::PAGE_SIZE * NorFlash::PAGE_SIZE;
        for (const StuckBit& stuck : faults_.stuck_bits) {
            if (stuck.device == selected_ && stuck.address >= page &&
                stuck.address < page + NorFlash::PAGE_SIZE) {
                flash().force_bits(stuck.address, stuck.mask);
            }
        }
    }
    reply(std::span<const std::uint8_t>(payload_).first(4), arrival_us, timing_.page_program_us);
}

void FlashCore::erase(std::uint32_t address, std::uint64_t arrival_us) {
    const std::uint64_t duration = flash().sector_size() == 0x40000 ? timing_.sector_erase_256k_us
                                                                    : timing_.sector_erase_64k_us;
    if (may_change_flash()) {
        const std::uint32_t size = flash().sector_size();
        begin_operation(address % NorFlash::SIZE / size * size, size, arrival_us, duration);
        flash().erase_sector(address);
    }
    reply(std::span<const std::uint8_t>(payload_).first(4), arrival_us, duration);
}

// Outside the read mode a read gets no answer.
void FlashCore::read(std::uint32_t address, std::uint64_t arrival_us) {
    if (mode_ != MODE_READ) {
        return;
    }
    const std::uint32_t start = address % NorFlash::SIZE;
    const auto content = flash().read(start, read_reply_bytes_);
    reply(content, arrival_us, timing_.read_reply_us);
}

void FlashCore::reply(std::span<const std::uint8_t> payload, std::uint64_t arrival_us,
                      std::uint64_t duration_us) {
    const std::uint64_t ready = std::max(arrival_us, busy_until_us_) + duration_us;
    busy_until_us_ = ready;
    std::vector<std::uint8_t> frame = make_frame(payload);
    const std::vector<std::uint8_t> previous = last_reply_.empty() ? frame : last_reply_;
    last_reply_ = frame;

    if (faults_.drop_reply.fire(faults_.rng)) {
        return;
    }
    const std::uint64_t when =
        faults_.delay_reply.fire(faults_.rng) ? ready + faults_.reply_delay_us : ready;
    if (faults_.stale_reply.fire(faults_.rng)) {
        replies_.push(previous, when);
    }
    if (faults_.garbage_before_reply.fire(faults_.rng)) {
        std::vector<std::uint8_t> garbage(faults_.garbage_length);
        for (std::uint8_t& byte : garbage) {
            byte = faults_.rng.byte();
            if (byte == GARBAGE_AVOIDED) {
                byte = 0x46;
            }
        }
        replies_.push(std::move(garbage), when);
    }
    const bool twice = faults_.duplicate_reply.fire(faults_.rng);
    replies_.push(frame, when);
    if (twice) {
        replies_.push(std::move(frame), when);
    }
}

}  // namespace sim
