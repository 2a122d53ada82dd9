// Erase, program and verify of each flash region with the full-size embedded
// images, against the simulated instrument on realistic timing. Per selector:
// the modelled time of the three operations on the virtual clock, the time the
// instrument itself needs for them (flash busy, wire, protocol pauses), their
// ratio, and the host CPU time per page written and per MB verified (the CPU
// time includes the instrument model's own work).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "window/window_port.h"
#include "images/images.h"
#include "device/clock.h"
#include "device/usb.h"
#include "flash/flash_image.h"
#include "resources/embedded_image_set.h"
#include "replay_backend.h"
#include "sequence/flash_core_upload.h"
#include "sim/loaded_images.h"
#include "sim/sim.h"

namespace {

// What the flash operations wait for on their own, whatever the instrument:
// the pause after each FLASH_CMD_MODE 5 (erase 1, program 1, verify 2), after
// each FLASH_CMD_UPDATE_BEGIN (erase 1, program 1), and the read timeout that
// ends each drain (two per operation).
constexpr std::uint64_t MODE_PAUSE_US = 10'000;
constexpr std::uint64_t UPDATE_BEGIN_PAUSE_US = 1'000;
constexpr std::uint64_t DRAIN_TIMEOUT_US = 10'000;
constexpr std::uint64_t PROTOCOL_PAUSES_US =
    4 * MODE_PAUSE_US + 2 * UPDATE_BEGIN_PAUSE_US + 6 * DRAIN_TIMEOUT_US;
constexpr std::uint32_t IDENTIFICATIONS = 6;  // opening and closing of each operation
constexpr std::uint32_t PAGE_BYTES = 256;

std::uint32_t whole(std::uint64_t length, std::uint64_t unit) {
    return static_cast<std::uint32_t>((length + unit - 1) / unit);
}

double cpu_seconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// One blank instrument on realistic timing, opened, running the flash core.
class RunningInstrument {
  public:
    RunningInstrument() {
        clock_install(&clock_);
        usb_install_backend(&backend_);
        sim::InstrumentConfig config;
        config.timing = sim::Timing::realistic();
        config.initial.flash = sim::Contents::blank;
        config.record_bulk_data = false;
        instrument_ = &backend_.attach(std::move(config), images_);
        const char* guid = INSTRUMENT_INTERFACE_GUID;
        usb_find_devices(&guid, 1, &list_);
        if (list_ != nullptr && usb_open_device(list_, 1) == 0 &&
            flash_core_upload(list_, 0, 1) == 0) {
            device_ = list_;
        }
    }
    ~RunningInstrument() {
        if (list_ != nullptr) {
            usb_close_device(list_);
        }
        usb_free_device_list(list_);
        usb_install_backend(nullptr);
        clock_install(nullptr);
    }
    RunningInstrument(const RunningInstrument&) = delete;
    RunningInstrument& operator=(const RunningInstrument&) = delete;

    UsbDevice* device() const { return device_; }
    sim::Instrument& instrument() { return *instrument_; }
    sim::SimBackend& backend() { return backend_; }
    std::uint64_t now_us() const { return clock_.now_us(); }

    // Bus time of the bulk transfers from record index mark on.
    std::uint64_t wire_us(std::size_t mark) const {
        std::uint64_t total = 0;
        const auto& transfers = instrument_->transfers();
        for (std::size_t i = mark; i < transfers.size(); ++i) {
            if (transfers[i].kind == sim::TransferKind::bulk &&
                transfers[i].status == sim::TransferStatus::completed) {
                total += instrument_->timing().transfer_us(transfers[i].transferred);
            }
        }
        return total;
    }

  private:
    sim::ImageSet images_ = sim::loaded_image_set();
    sim::VirtualClock clock_;
    sim::SimBackend backend_{clock_};
    sim::Instrument* instrument_ = nullptr;
    UsbDevice* list_ = nullptr;
    UsbDevice* device_ = nullptr;
};

bool load_embedded_images() {
    static const bool loaded = [] {
        const bool complete = image_set_load(embedded_image_source());
        bit_reverse_table_build();
        return complete;
    }();
    return loaded;
}

void BM_EraseProgramVerify(benchmark::State& state) {
    const int selector = static_cast<int>(state.range(0));
    if (!load_embedded_images()) {
        state.SkipWithError("the embedded image set is incomplete");
        return;
    }
    RunningInstrument bench;
    if (bench.device() == nullptr) {
        state.SkipWithError("the flash core did not start");
        return;
    }
    const std::uint64_t length = sim::loaded_image_set().flash_image(selector).size();
    const sim::Timing& timing = bench.instrument().timing();
    const std::uint32_t sector = bench.instrument().flash(0).sector_size();
    const std::uint32_t sectors = whole(length, sector);
    const std::uint32_t pages = whole(length, PAGE_BYTES);
    const std::uint32_t reads = whole(length, sim::FlashCore::DEFAULT_READ_REPLY_BYTES);
    const std::uint64_t erase_us =
        sector == 0x40000 ? timing.sector_erase_256k_us : timing.sector_erase_64k_us;
    const std::uint64_t busy_us = sectors * erase_us + pages * timing.page_program_us +
                                  reads * timing.read_reply_us +
                                  IDENTIFICATIONS * timing.identify_us;

    double modelled_s = 0;
    double instrument_s = 0;
    double program_cpu_s = 0;
    double verify_cpu_s = 0;
    bool passed = true;
    for (auto _ : state) {
        const std::size_t mark = bench.instrument().transfers().size();
        const std::uint64_t start_us = bench.now_us();
        passed = image_erase(bench.device(), selector, 0, 1) == 0 && passed;
        double cpu = cpu_seconds();
        passed = image_program(bench.device(), selector, 0, 1) == 0 && passed;
        program_cpu_s += cpu_seconds() - cpu;
        cpu = cpu_seconds();
        passed = image_verify(bench.device(), selector, 0, 1) == 1 && passed;
        verify_cpu_s += cpu_seconds() - cpu;
        modelled_s += static_cast<double>(bench.now_us() - start_us) / 1e6;
        instrument_s +=
            static_cast<double>(busy_us + bench.wire_us(mark) + PROTOCOL_PAUSES_US) / 1e6;
    }
    if (!passed) {
        state.SkipWithError("an operation failed");
        return;
    }
    const auto runs = static_cast<double>(state.iterations());
    state.counters["bytes"] = static_cast<double>(length);
    state.counters["sectors"] = sectors;
    state.counters["pages"] = pages;
    state.counters["modelled_s"] = modelled_s / runs;
    state.counters["instrument_s"] = instrument_s / runs;
    state.counters["modelled/instrument"] = modelled_s / instrument_s;
    state.counters["host_wait_ms"] = (modelled_s - instrument_s) * 1e3 / runs;
    state.counters["cpu_us/page"] = program_cpu_s * 1e6 / (runs * pages);
    state.counters["cpu_ms/MB_verified"] =
        verify_cpu_s * 1e3 / (runs * static_cast<double>(length) / 1e6);
}

BENCHMARK(BM_EraseProgramVerify)
    ->ArgName("selector")
    ->DenseRange(0, 4)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// A clock whose pauses cost nothing: the replay measures the host's work only.
class NoWaitClock final : public Clock {
  public:
    std::uint64_t now_ms() override { return now_ms_; }
    void sleep_ms(std::uint32_t milliseconds) override { now_ms_ += milliseconds; }

  private:
    std::uint64_t now_ms_ = 0;
};

// Verification of an image the instrument holds, the host's work alone: one
// verification against the simulated instrument is recorded, then replayed
// from memory (every transfer answered as the instrument answered it).
void BM_VerifyHostOnly(benchmark::State& state) {
    const int selector = static_cast<int>(state.range(0));
    if (!load_embedded_images()) {
        state.SkipWithError("the embedded image set is incomplete");
        return;
    }
    RunningInstrument bench;
    if (bench.device() == nullptr || image_erase(bench.device(), selector, 0, 1) != 0 ||
        image_program(bench.device(), selector, 0, 1) != 0) {
        state.SkipWithError("the image could not be written");
        return;
    }
    bench_support::RecordingBackend recorder(bench.backend());
    usb_install_backend(&recorder);
    const int recorded = image_verify(bench.device(), selector, 0, 1);
    bench_support::ReplayBackend replay(recorder.calls());
    NoWaitClock no_wait;
    usb_install_backend(&replay);
    clock_install(&no_wait);
    bool replayed = recorded == 1;
    for (auto _ : state) {
        replay.rewind();
        replayed = image_verify(bench.device(), selector, 0, 1) == 1 && replay.replayed_whole() &&
                   replayed;
    }
    usb_install_backend(&bench.backend());
    clock_install(nullptr);
    if (!replayed) {
        state.SkipWithError("the replayed verification did not match the recorded one");
        return;
    }
    const std::uint64_t length = sim::loaded_image_set().flash_image(selector).size();
    state.SetBytesProcessed(static_cast<std::int64_t>(length) * state.iterations());
    state.counters["bytes"] = static_cast<double>(length);
    state.counters["transfer_calls"] = static_cast<double>(recorder.calls().size());
}

BENCHMARK(BM_VerifyHostOnly)->ArgName("selector")->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

}  // namespace
