#include "support/sim_fixture.h"

#include <algorithm>
#include <utility>

#include "window/window_port.h"
#include "device/reply_stream.h"
#include "sequence/flash_core_upload.h"

namespace sim_support {
namespace {

constexpr std::size_t ONE_MIB = 0x100000;
constexpr std::uint32_t VERSION_FPGA = 37994;
constexpr std::uint32_t VERSION_FIRMWARE = 38322;

std::vector<std::uint8_t> version_table() {
    std::vector<std::uint8_t> table;
    for (const std::uint32_t value : {VERSION_FPGA, VERSION_FIRMWARE}) {
        for (int shift = 0; shift < 32; shift += 8) {
            table.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }
    return table;
}

std::uint32_t le32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
           std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

// Cuts command frames out of the bytes written to pipe 0x02, frames split
// over transfers included.
class OutFrameCutter {
  public:
    void feed(const sim::TransferRecord& record, std::size_t index,
              std::vector<SentFrame>& frames) {
        for (const std::uint8_t byte : record.data) {
            pending_.push_back(byte);
            cut(index, record.data.size(), frames);
        }
    }

  private:
    void cut(std::size_t index, std::size_t transfer_bytes, std::vector<SentFrame>& frames) {
        for (;;) {
            while (pending_.size() >= 4 && le32(pending_, 0) != FRAME_MAGIC) {
                pending_.erase(pending_.begin());
            }
            if (pending_.size() < static_cast<std::size_t>(FRAME_HEADER_SIZE)) {
                return;
            }
            const std::uint32_t words = le32(pending_, 4);
            if (words == 0 || words > sim::FRAME_MAX_WORDS) {
                pending_.erase(pending_.begin());  // not a command frame: search on
                continue;
            }
            const std::size_t length = FRAME_HEADER_SIZE + std::size_t{words} * 4;
            if (pending_.size() < length) {
                return;
            }
            SentFrame frame;
            frame.word = le32(pending_, FRAME_HEADER_SIZE);
            frame.data.assign(pending_.begin() + FRAME_HEADER_SIZE + 4, pending_.end());
            frame.transfer = index;
            frame.transfer_bytes = transfer_bytes;
            frames.push_back(std::move(frame));
            pending_.clear();
            return;
        }
    }

    std::vector<std::uint8_t> pending_;
};

}  // namespace

bool instrument_holds_item(const sim::Instrument& instrument, const sim::ImageSet& set, int item) {
    if (item < sim::FLASH_IMAGE_COUNT) {
        const sim::FlashPlacement placement = sim::flash_placement(item);
        const auto image = set.flash_image(item);
        const auto flash = instrument.flash(placement.device).bytes();
        return placement.start + image.size() <= flash.size() &&
               std::equal(image.begin(), image.end(), flash.begin() + placement.start);
    }
    switch (static_cast<InstalledItem>(item)) {
        case InstalledItem::usb_firmware: {
            const auto eeprom = instrument.eeprom().bytes();
            return set.usb_firmware.size() <= eeprom.size() &&
                   std::equal(set.usb_firmware.begin(), set.usb_firmware.end(), eeprom.begin());
        }
        case InstalledItem::power_supply_a:
            return instrument.supply(0).stores_script(set.supply_a_script);
        case InstalledItem::power_supply_b:
            return instrument.supply(1).stores_script(set.supply_b_script);
    }
    return false;
}

bool instrument_holds_set(const sim::Instrument& instrument, const sim::ImageSet& set) {
    for (int item = 0; item < INSTALLED_ITEM_COUNT; ++item) {
        if (!instrument_holds_item(instrument, set, item)) {
            return false;
        }
    }
    return true;
}

sim::SyntheticSizes loadable_sizes() {
    sim::SyntheticSizes sizes;
    sizes.factory_bitstream = ONE_MIB;
    sizes.bitstream = ONE_MIB + 300;
    return sizes;
}

sim::InstrumentConfig instant_instrument() {
    sim::InstrumentConfig config;
    config.timing = sim::Timing::instant();
    return config;
}

void BlobResourceSource::add(int id, std::span<const std::uint8_t> bytes) {
    blobs_[id].assign(bytes.begin(), bytes.end());
}

std::optional<std::uint32_t> BlobResourceSource::resource_size(int id) {
    const auto found = blobs_.find(id);
    if (found == blobs_.end()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(found->second.size());
}

const std::uint8_t* BlobResourceSource::resource_bytes(int id) {
    const auto found = blobs_.find(id);
    return found != blobs_.end() ? found->second.data() : nullptr;
}

BlobResourceSource resources_of(const sim::SyntheticImages& images) {
    BlobResourceSource source;
    source.add(IMAGE_VERSION_TABLE, version_table());
    source.add(IMAGE_FLASH_CORE, images.flash_core);
    source.add(IMAGE_CONFIGURATION_SEQUENCE, images.configuration_sequence);
    source.add(IMAGE_FACTORY_BITSTREAM, images.factory_bitstream);
    source.add(IMAGE_FACTORY_FIRMWARE, images.factory_firmware);
    source.add(IMAGE_BITSTREAM, images.bitstream);
    source.add(IMAGE_FIRMWARE, images.firmware);
    source.add(IMAGE_USB_FIRMWARE, images.usb_firmware);
    source.add(IMAGE_POWER_SUPPLY_A, images.supply_a_script);
    source.add(IMAGE_POWER_SUPPLY_B, images.supply_b_script);
    return source;
}

void ObservedWindowPort::progress_set(int control, std::uint32_t position) {
    RecordingWindowPort::progress_set(control, position);
    if (on_progress) {
        on_progress(control, position);
    }
}

SimFixture::SimFixture(SimFixtureOptions options) : images_(options.seed, options.sizes) {
    if (options.adjust_images) {
        options.adjust_images(images_);
    }
    // The program starts with an empty reply stream and its table built.
    reply_stream = ReplyStream{};
    bit_reverse_table_build();
    resources_ = resources_of(images_);
    image_set_load(resources_);
    usb_install_backend(&backend_);
    window_port_install(&window_);
    instrument_ = &backend_.attach(std::move(options.instrument), images_.set());
    open_device();
}

SimFixture::~SimFixture() {
    if (device_ != nullptr) {
        usb_close_device(device_);
    }
    usb_free_device_list(list_);
    usb_install_backend(nullptr);
    window_port_install(nullptr);
    // No image may point into this fixture's blobs once it is gone.
    BlobResourceSource none;
    image_set_load(none);
}

void SimFixture::open_device() {
    const char* guid = INSTRUMENT_INTERFACE_GUID;
    usb_find_devices(&guid, 1, &list_);
    for (UsbDevice* entry = list_; entry != nullptr; entry = entry->next) {
        if (entry->path != nullptr && instrument_->path() == entry->path &&
            usb_open_device(entry, 1) == 0) {
            device_ = entry;
            return;
        }
    }
}

bool SimFixture::start_flash_core() {
    return device_ != nullptr && flash_core_upload(device_, 0, 1) == 0 &&
           instrument_->fpga().running();
}

void SimFixture::forget_window() {
    window_.progress_calls.clear();
    window_.message_boxes.clear();
    window_.log_set_text("");
    window_.calls.clear();
}

std::vector<const sim::TransferRecord*> SimFixture::transfers_since(std::size_t mark) const {
    std::vector<const sim::TransferRecord*> records;
    const auto& transfers = instrument_->transfers();
    for (std::size_t i = mark; i < transfers.size(); ++i) {
        records.push_back(&transfers[i]);
    }
    return records;
}

std::vector<SentFrame> SimFixture::frames_since(std::size_t mark) const {
    std::vector<SentFrame> frames;
    OutFrameCutter cutter;
    const auto& transfers = instrument_->transfers();
    for (std::size_t i = mark; i < transfers.size(); ++i) {
        const sim::TransferRecord& record = transfers[i];
        if (record.kind == sim::TransferKind::bulk && !record.in &&
            record.endpoint == PIPE_BULK_OUT) {
            cutter.feed(record, i, frames);
        }
    }
    return frames;
}

std::vector<std::uint32_t> SimFixture::command_words_since(std::size_t mark) const {
    std::vector<std::uint32_t> words;
    for (const SentFrame& frame : frames_since(mark)) {
        words.push_back(frame.word);
    }
    return words;
}

std::vector<std::uint8_t> SimFixture::flash_bytes(int flash_device, std::uint32_t start,
                                                  std::uint32_t count) const {
    const auto bytes = instrument_->flash(flash_device).read(start, count);
    return {bytes.begin(), bytes.end()};
}

}  // namespace sim_support
