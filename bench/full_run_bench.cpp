// A whole Program of an outdated instrument (full-size embedded set,
// realistic timing) as the window runs it, and the flash core upload alone:
// modelled time on the virtual clock and the host's CPU time.
#include <benchmark/benchmark.h>

#include <ctime>

#include "window/window_port.h"
#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "images/images.h"
#include "device/clock.h"
#include "device/usb.h"
#include "resources/embedded_image_set.h"
#include "sequence/flash_core_upload.h"
#include "sim/loaded_images.h"
#include "sim/sim.h"

namespace {

bool load_images() {
    static const bool loaded = image_set_load(embedded_image_source());
    bit_reverse_table_build();
    return loaded;
}

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// A Program command on an instrument holding the older set, start to end.
void BM_FullProgramOfAnOutdatedInstrument(benchmark::State& state) {
    if (!load_images()) {
        state.SkipWithError("the embedded image set did not load");
        return;
    }
    double modelled_seconds = 0;
    double cpu = 0;
    for (auto _ : state) {
        sim::VirtualClock clock;
        sim::SimBackend bus(clock);
        clock_install(&clock);
        usb_install_backend(&bus);
        sim::InstrumentConfig config;
        config.timing = sim::Timing::realistic();
        config.initial = sim::InitialState::all(sim::Contents::older);
        config.record_bulk_data = false;
        bus.attach(std::move(config), sim::loaded_image_set());
        const double cpu_start = cpu_seconds();
        const std::uint64_t start_us = clock.now_us();
        device_list_refresh(nullptr);
        program_command(0, 1);
        worker_wait();
        modelled_seconds = static_cast<double>(clock.now_us() - start_us) / 1e6;
        cpu = cpu_seconds() - cpu_start;
        device_list_release();
        usb_install_backend(nullptr);
        clock_install(nullptr);
    }
    state.counters["modelled_s"] = modelled_seconds;
    state.counters["host_cpu_s"] = cpu;
}
BENCHMARK(BM_FullProgramOfAnOutdatedInstrument)->Unit(benchmark::kSecond)->Iterations(1);

// The flash core upload on instant timing: the conversion and the stream
// through the device layer, as host bytes per second.
void BM_FlashCoreUpload(benchmark::State& state) {
    if (!load_images()) {
        state.SkipWithError("the embedded image set did not load");
        return;
    }
    sim::VirtualClock clock;
    sim::SimBackend bus(clock);
    clock_install(&clock);
    usb_install_backend(&bus);
    sim::InstrumentConfig config;
    config.timing = sim::Timing::instant();
    config.record_bulk_data = false;
    bus.attach(std::move(config), sim::loaded_image_set());
    UsbDevice* list = nullptr;
    const char* guid = INSTRUMENT_INTERFACE_GUID;
    usb_find_devices(&guid, 1, &list);
    if (list == nullptr || usb_open_device(list, 1) != 0) {
        state.SkipWithError("no instrument");
    } else {
        for (auto _ : state) {
            if (flash_core_upload(list, 0, 1) != 0) {
                state.SkipWithError("upload failed");
                break;
            }
        }
        state.SetBytesProcessed(state.iterations() * firmware_image(IMAGE_FLASH_CORE).length);
        usb_close_device(list);
    }
    usb_free_device_list(list);
    usb_install_backend(nullptr);
    clock_install(nullptr);
}
BENCHMARK(BM_FlashCoreUpload)->Unit(benchmark::kMillisecond);

}  // namespace
