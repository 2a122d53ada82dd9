#pragma once
// Shared set-up of the flash operations' tests: one simulated instrument that
// runs the flash core, the command words as the flash core reads them, and
// helpers to inspect what went over the wire and into the flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "window/window_port.h"
#include "support/sim_fixture.h"

namespace flash_test {

// Command words, written out here rather than taken from the program.
constexpr std::uint32_t IDENTIFY = 0x01000000;
constexpr std::uint32_t UPDATE_END_A = 0x02000000;
constexpr std::uint32_t UPDATE_BEGIN = 0x03000000;
constexpr std::uint32_t UPDATE_END_B = 0x04000000;
constexpr std::uint32_t SELECT_0 = 0x05000000;
constexpr std::uint32_t SELECT_1 = 0x05000001;
constexpr std::uint32_t WRITE = 0x10000000;
constexpr std::uint32_t ERASE = 0x20000000;
constexpr std::uint32_t READ = 0x30000000;
constexpr std::uint32_t MODE_0 = 0xF0000000;
constexpr std::uint32_t MODE_5 = 0xF0000005;

constexpr std::uint32_t SECTOR_256K = 0x40000;
constexpr std::uint32_t SECTOR_64K = 0x10000;

struct Region {
    int device;
    std::uint32_t start;
};

// Where each selector's image lives, as the instrument's layout fixes it.
inline Region region_of(int selector) {
    constexpr Region regions[] = {
        {0, 0x6C0000}, {1, 0x100000}, {0, 0x000000}, {1, 0x000000}, {0, 0xFC0000}};
    return regions[selector];
}

inline sim_support::SimFixtureOptions with_flash(sim::Contents contents,
                                                 std::uint8_t capacity_code = 0x18) {
    sim_support::SimFixtureOptions options;
    options.instrument.initial.flash = contents;
    options.instrument.capacity_codes = {capacity_code, capacity_code};
    return options;
}

// A pattern that differs from the erased state almost everywhere, so that an
// erase or a write in the wrong place shows.
inline void fill_with_pattern(sim::NorFlash& flash, std::uint8_t salt) {
    std::vector<std::uint8_t> bytes(sim::NorFlash::SIZE);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + (i >> 9)) ^ salt);
    }
    flash.load(0, bytes);
}

inline std::size_t count_of(const std::vector<std::uint32_t>& words, std::uint32_t word) {
    return static_cast<std::size_t>(std::count(words.begin(), words.end(), word));
}

// The addresses of every command with this opcode (the top four bits), in order.
inline std::vector<std::uint32_t> addresses_of(const std::vector<std::uint32_t>& words,
                                               std::uint32_t opcode) {
    std::vector<std::uint32_t> addresses;
    for (const std::uint32_t word : words) {
        if ((word & 0xF0000000U) == opcode) {
            addresses.push_back(word & 0x0FFFFFFFU);
        }
    }
    return addresses;
}

class FlashTest : public ::testing::Test {
  protected:
    // An instrument running the flash core; what the upload did is forgotten.
    void start(sim_support::SimFixtureOptions options = with_flash(sim::Contents::current)) {
        sim_.emplace(std::move(options));
        ASSERT_NE(sim_->device(), nullptr);
        ASSERT_TRUE(sim_->start_flash_core());
        sim_->forget_window();
        mark_ = sim_->transfer_mark();
    }

    sim_support::SimFixture& sim() { return *sim_; }
    UsbDevice* device() { return sim_->device(); }
    sim::Instrument& instrument() { return sim_->instrument(); }
    sim::Faults& faults() { return sim_->instrument().faults(); }
    std::span<const std::uint8_t> image(int selector) const {
        return sim_->images().set().flash_image(selector);
    }
    std::uint32_t length(int selector) const {
        return static_cast<std::uint32_t>(image(selector).size());
    }

    // Command words sent since start() (or since the last mark()).
    std::vector<std::uint32_t> sent() const { return sim_->command_words_since(mark_); }
    std::vector<sim_support::SentFrame> frames() const { return sim_->frames_since(mark_); }
    void mark() { mark_ = sim_->transfer_mark(); }

    std::vector<std::uint32_t> task_bar() {
        return sim_->window().progress_history(IDC_TASK_PROGRESS);
    }
    std::vector<std::uint32_t> overall_bar() {
        return sim_->window().progress_history(IDC_OVERALL_PROGRESS);
    }

    // The region's bytes in the flash, as long as its image.
    std::vector<std::uint8_t> region_bytes(int selector, std::uint32_t extra = 0) const {
        const Region region = region_of(selector);
        return sim_->flash_bytes(region.device, region.start, length(selector) + extra);
    }

    std::optional<sim_support::SimFixture> sim_;
    std::size_t mark_ = 0;
};

}  // namespace flash_test
