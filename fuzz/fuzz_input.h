#pragma once
// Takes a fuzzer's input apart. Every piece handed out is copied into a
// buffer of exactly its size, so a sanitizer sees any read past its end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ >= size_; }

    std::uint8_t byte() { return empty() ? 0 : data_[position_++]; }

    std::uint16_t word() {
        const std::uint8_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }

    // Up to count bytes, as many as are left.
    std::vector<std::uint8_t> bytes(std::size_t count) {
        const std::size_t taken = std::min(count, size_ - std::min(position_, size_));
        std::vector<std::uint8_t> out(data_ + position_, data_ + position_ + taken);
        position_ += taken;
        return out;
    }

    std::vector<std::uint8_t> rest() { return bytes(size_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};
