#include "sim/fpga.h"

#include <algorithm>

namespace sim {

std::uint8_t reverse_bits(std::uint8_t value) {
    std::uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if ((value & (1U << bit)) != 0) {
            reversed = static_cast<std::uint8_t>(reversed | (0x80U >> bit));
        }
    }
    return reversed;
}

Fpga::Fpga(std::span<const std::uint8_t> flash_core, std::uint32_t done_polls,
           std::uint32_t startup_polls)
    : core_(flash_core.begin(), flash_core.end()),
      done_polls_(done_polls),
      startup_polls_(startup_polls) {
    if (core_.size() % 2 != 0) {
        core_.push_back(0);
    }
}

bool Fpga::announce(std::uint32_t words) {
    if (words == 0 || words >= (1U << 24)) {
        return false;
    }
    state_ = State::receiving;
    expected_ = std::uint64_t{words} * 2;
    received_ = 0;
    first_mismatch_ = -1;
    polls_since_done_ = 0;
    return true;
}

void Fpga::halt() {
    state_ = State::halted;
    expected_ = 0;
    received_ = 0;
    polls_since_done_ = 0;
}

std::uint8_t Fpga::expected_byte(std::uint64_t position) const {
    if (position >= core_.size()) {
        return 0;
    }
    return reverse_bits(core_[position ^ 1U]);
}

std::size_t Fpga::receive(std::span<const std::uint8_t> data) {
    if (state_ != State::receiving) {
        return 0;
    }
    const std::size_t taken =
        static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), expected_ - received_));
    for (std::size_t i = 0; i < taken; ++i) {
        if (first_mismatch_ < 0 && data[i] != expected_byte(received_ + i)) {
            first_mismatch_ = static_cast<std::int64_t>(received_ + i);
        }
    }
    received_ += taken;
    if (received_ == expected_) {
        finish_configuration();
    }
    return taken;
}

void Fpga::finish_configuration() {
    const bool whole_core = expected_ >= core_.size();
    state_ = whole_core && first_mismatch_ < 0 ? State::running : State::error;
    if (!whole_core && first_mismatch_ < 0) {
        first_mismatch_ = static_cast<std::int64_t>(expected_);
    }
    polls_since_done_ = 0;
}

std::uint8_t Fpga::poll_status() {
    switch (state_) {
        case State::receiving:
            return STATUS_READY;
        case State::running: {
            const std::uint32_t poll = polls_since_done_;
            if (polls_since_done_ < done_polls_ + startup_polls_) {
                ++polls_since_done_;
            }
            if (poll < done_polls_) {
                return STATUS_READY;
            }
            if (poll < done_polls_ + startup_polls_) {
                return STATUS_READY | STATUS_DONE;
            }
            return STATUS_READY | STATUS_DONE | STATUS_STARTED;
        }
        case State::halted:
        case State::error:
            break;
    }
    return 0;
}

std::vector<std::uint8_t> flash_core_upload_stream(std::span<const std::uint8_t> flash_core,
                                                   std::size_t zero_trailer) {
    const std::size_t padded = flash_core.size() + flash_core.size() % 2;
    std::vector<std::uint8_t> stream(padded + zero_trailer, 0);
    for (std::size_t k = 0; k < flash_core.size(); ++k) {
        stream[k ^ 1U] = reverse_bits(flash_core[k]);
    }
    return stream;
}

std::uint32_t flash_core_word_count(std::span<const std::uint8_t> flash_core,
                                    std::size_t zero_trailer) {
    return static_cast<std::uint32_t>((flash_core.size() + flash_core.size() % 2 + zero_trailer) /
                                      2);
}

}  // namespace sim
