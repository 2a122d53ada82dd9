#pragma once
// One simulated instrument, ready for the core's operations: a virtual clock
// installed as the process's clock, a SimBackend installed as the USB backend,
// a recording window port, a small synthetic image set loaded as the program's
// embedded images, and one instrument attached and opened with its pipes.
// Everything it installs goes again when it goes, so each test starts from the
// program's start-up state.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "images/images.h"
#include "device/usb.h"
#include "sim/sim.h"
#include "support/recording_window_port.h"

namespace sim_support {

// Sizes the program's loading rules accept: bitstreams above 1,048,575 bytes.
// The factory bitstream is exactly 1 MiB (a whole number of sectors and of
// pages), the bitstream 300 bytes more (a partial last sector and page).
sim::SyntheticSizes loadable_sizes();

// Instant timing, every part holding the current images.
sim::InstrumentConfig instant_instrument();

// Resources held in memory, by id.
class BlobResourceSource final : public ResourceSource {
  public:
    void add(int id, std::span<const std::uint8_t> bytes);
    std::optional<std::uint32_t> resource_size(int id) override;
    const std::uint8_t* resource_bytes(int id) override;

  private:
    std::map<int, std::vector<std::uint8_t>> blobs_;
};

// The resources 400 to 409 of a synthetic image set (with an 8-byte version
// table), as the program's embedded images would hold them.
BlobResourceSource resources_of(const sim::SyntheticImages& images);

// Whether every item the program installs holds exactly this set: the flash
// regions, the boot image in the EEPROM, and the stored values of both
// supplies. Read directly; the caller holds the bus's lock where it is shared.
bool instrument_holds_set(const sim::Instrument& instrument, const sim::ImageSet& set);

// One item of the eight: the flash regions by image selector (0 to 4), then
// the boot EEPROM and the two supplies.
enum class InstalledItem { usb_firmware = 5, power_supply_a = 6, power_supply_b = 7 };
constexpr int INSTALLED_ITEM_COUNT = 8;
bool instrument_holds_item(const sim::Instrument& instrument, const sim::ImageSet& set, int item);

// A recording port that also lets a test act the moment a bar moves: window
// calls are synchronous, so the hook runs in the middle of an operation.
class ObservedWindowPort final : public RecordingWindowPort {
  public:
    std::function<void(int control, std::uint32_t position)> on_progress;
    void progress_set(int control, std::uint32_t position) override;
};

struct SimFixtureOptions {
    sim::InstrumentConfig instrument = instant_instrument();
    sim::SyntheticSizes sizes = loadable_sizes();
    std::uint64_t seed = 1;
    // Changes the images before they are loaded and the instrument attached.
    std::function<void(sim::SyntheticImages&)> adjust_images;
};

// One command frame seen on pipe 0x02.
struct SentFrame {
    std::uint32_t word = 0;          // the command word
    std::vector<std::uint8_t> data;  // the payload after the command word
    std::size_t transfer = 0;        // its transfer's index in the instrument's record
    std::size_t transfer_bytes = 0;  // that transfer's length
};

class SimFixture {
  public:
    explicit SimFixture(SimFixtureOptions options = {});
    ~SimFixture();
    SimFixture(const SimFixture&) = delete;
    SimFixture& operator=(const SimFixture&) = delete;

    sim::VirtualClock& clock() { return clock_; }
    sim::SimBackend& backend() { return backend_; }
    ObservedWindowPort& window() { return window_; }
    const sim::SyntheticImages& images() const { return images_; }
    sim::Instrument& instrument() { return *instrument_; }
    // The open instrument (nullptr when it would not open).
    UsbDevice* device() { return device_; }

    // Uploads the flash core the way the worker does; true when the FPGA runs it.
    bool start_flash_core();
    // Forgets what the window recorded so far (the log text included).
    void forget_window();

    // The instrument's transfer record from index mark on.
    std::size_t transfer_mark() const { return instrument_->transfers().size(); }
    std::vector<SentFrame> frames_since(std::size_t mark) const;
    std::vector<std::uint32_t> command_words_since(std::size_t mark) const;
    std::vector<const sim::TransferRecord*> transfers_since(std::size_t mark) const;

    // What the flash device holds, read directly.
    std::vector<std::uint8_t> flash_bytes(int flash_device, std::uint32_t start,
                                          std::uint32_t count) const;

  private:
    void open_device();

    sim::SyntheticImages images_;
    BlobResourceSource resources_;
    sim::VirtualClock clock_;
    sim::InstalledVirtualClock installed_clock_{clock_};
    sim::SimBackend backend_{clock_};
    ObservedWindowPort window_;
    sim::Instrument* instrument_ = nullptr;
    UsbDevice* list_ = nullptr;
    UsbDevice* device_ = nullptr;
};

}  // namespace sim_support
