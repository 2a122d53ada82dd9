#pragma once
// Shared set-up of the simulated instrument's tests: a virtual clock installed
// as the process's clock, a SimBackend installed as the USB backend, a small
// synthetic image set, and helpers that talk to an instrument through the
// core's usb_* functions the way the program does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/usb.h"
#include "sim/sim.h"

namespace sim_test {

inline std::uint32_t le32(std::span<const std::uint8_t> bytes, std::size_t at = 0) {
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
           std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

// Cuts reply frames out of bytes read from pipe 0x86, independently of the
// program's own parser.
class FrameReader {
  public:
    void feed(std::span<const std::uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }

    std::optional<std::vector<std::uint8_t>> next() {
        while (bytes_.size() >= 4 && le32(bytes_) != sim::FRAME_MAGIC_WORD) {
            bytes_.erase(bytes_.begin());
            ++skipped_;
        }
        if (bytes_.size() < sim::FRAME_HEADER_BYTES) {
            return std::nullopt;
        }
        const std::size_t length = std::size_t{le32(bytes_, 4)} * 4;
        if (bytes_.size() < sim::FRAME_HEADER_BYTES + length) {
            return std::nullopt;
        }
        const auto begin = bytes_.begin() + sim::FRAME_HEADER_BYTES;
        std::vector<std::uint8_t> payload(begin, begin + static_cast<std::ptrdiff_t>(length));
        bytes_.erase(bytes_.begin(), begin + static_cast<std::ptrdiff_t>(length));
        return payload;
    }

    std::size_t skipped() const { return skipped_; }
    std::size_t buffered() const { return bytes_.size(); }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t skipped_ = 0;
};

class SimTest : public ::testing::Test {
  protected:
    SimTest() { usb_install_backend(&backend_); }

    ~SimTest() override {
        for (UsbDevice* device : opened_) {
            usb_close_device(device);
        }
        usb_free_device_list(list_);
        usb_install_backend(nullptr);
    }

    sim::InstrumentConfig config(sim::Timing timing = sim::Timing::instant()) const {
        sim::InstrumentConfig instrument_config;
        instrument_config.timing = timing;
        return instrument_config;
    }

    sim::Instrument& attach(sim::InstrumentConfig instrument_config) {
        return backend_.attach(std::move(instrument_config), images_.set());
    }
    sim::Instrument& attach() { return attach(config()); }

    std::vector<std::string> listed_paths() {
        std::vector<std::string> paths;
        backend_.list_interfaces(sim::INSTRUMENT_INTERFACE_CLASS, paths);
        return paths;
    }

    // Finds the instruments and opens the one with this path, with pipes.
    UsbDevice* open(const sim::Instrument& instrument) {
        for (UsbDevice* device : opened_) {
            usb_close_device(device);
        }
        opened_.clear();
        usb_free_device_list(list_);
        list_ = nullptr;
        const char* guid = INSTRUMENT_INTERFACE_GUID;
        usb_find_devices(&guid, 1, &list_);
        for (UsbDevice* entry = list_; entry != nullptr; entry = entry->next) {
            if (instrument.path() == entry->path && usb_open_device(entry, 1) == 0) {
                opened_.push_back(entry);
                return entry;
            }
        }
        return nullptr;
    }

    std::vector<std::uint8_t> control_in(UsbDevice* device, int request, int value, int index,
                                         int length) {
        std::vector<std::uint8_t> data(static_cast<std::size_t>(length), 0xEE);
        int transferred = length;
        usb_control_transfer(device, 0, request, value, index, &transferred, data.data());
        data.resize(static_cast<std::size_t>(transferred));
        return data;
    }

    int control_out(UsbDevice* device, int request, int value, int index,
                    std::vector<std::uint8_t> data = {}) {
        int length = static_cast<int>(data.size());
        return usb_control_transfer(device, 1, request, value, index, &length,
                                    data.empty() ? nullptr : data.data());
    }

    int write(UsbDevice* device, std::span<const std::uint8_t> bytes, int timeout_ms = 250) {
        int transferred = 0;
        const int result = usb_bulk_write(device, PIPE_BULK_OUT, bytes.data(),
                                          static_cast<int>(bytes.size()), &transferred, timeout_ms);
        return result != USB_OK ? result : transferred;
    }

    int command(UsbDevice* device, std::uint32_t word, std::span<const std::uint8_t> data = {}) {
        return write(device, sim::make_command_frame(word, data));
    }

    // Loads the flash core as the program does; true when the FPGA runs it.
    bool upload_flash_core(UsbDevice* device) {
        const auto stream = sim::flash_core_upload_stream(images_.flash_core);
        const std::uint32_t words = sim::flash_core_word_count(images_.flash_core);
        const auto announce = control_in(device, VREQ_FPGA_CONFIG, static_cast<int>(words & 0xFFFF),
                                         static_cast<int>(words >> 16), 16);
        if (announce.size() < 2 || announce[1] != 0) {
            return false;
        }
        for (std::size_t at = 0; at < stream.size(); at += 4096) {
            const std::size_t chunk = std::min<std::size_t>(4096, stream.size() - at);
            if (write(device, std::span(stream).subspan(at, chunk), 1000) < 0) {
                return false;
            }
        }
        for (int poll = 0; poll < 20; ++poll) {
            const auto status = control_in(device, VREQ_FPGA_STATUS, 0, 0, 16);
            if (status.size() > 2 && (status[2] & 0x12) == 0x12) {
                return true;
            }
        }
        return false;
    }

    // Reads pipe 0x86 until a frame completes or a read times out.
    std::optional<std::vector<std::uint8_t>> reply(UsbDevice* device, int timeout_ms = 10) {
        for (;;) {
            if (auto payload = reader_.next()) {
                return payload;
            }
            int transferred = 0;
            if (usb_bulk_read(device, PIPE_BULK_IN, receive_buffer_, sizeof receive_buffer_,
                              &transferred, timeout_ms) != USB_OK) {
                return std::nullopt;
            }
            reader_.feed(std::span(receive_buffer_, static_cast<std::size_t>(transferred)));
        }
    }

    // The opening of a flash operation: mode, select, identification. The
    // capacity code, or -1.
    int identify(UsbDevice* device, int flash_device = 0) {
        command(device, 0xF0000005);
        command(device, 0x05000000 + static_cast<std::uint32_t>(flash_device));
        command(device, 0x01000000);
        const auto id = reply(device, 500);
        if (!id || id->size() != 4 || (*id)[0] != 0x20 || (*id)[1] != 0x20) {
            return -1;
        }
        return (*id)[2];
    }

    std::uint64_t now_us() const { return clock_.now_us(); }

    sim::VirtualClock clock_;
    sim::InstalledVirtualClock installed_clock_{clock_};
    sim::SimBackend backend_{clock_};
    sim::SyntheticImages images_;
    FrameReader reader_;
    std::uint8_t receive_buffer_[512] = {};

  private:
    UsbDevice* list_ = nullptr;
    std::vector<UsbDevice*> opened_;
};

}  // namespace sim_test
