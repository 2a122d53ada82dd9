// The whole programming worker, from the flash core upload through the checks
// and the programming to its end sequence, against a simulated instrument
// whose replies the fuzzer's input changes transfer by transfer.
//
// The input, from its first byte (every byte past the end reads as zero):
//   0  options: bit 0 check only (else Program); bits 1-2 and 3-4 the
//      capacity code of flash 0 and 1 (0x18, 0x17, 0x19, none); bit 5 LINEAR11
//      values read back in another encoding
//   1  two bits each for the firmware, the factory firmware and the
//      configuration sequence: current, older, erased, torn (the image from
//      a point on, erased before it); bit 6 an older boot image in the EEPROM
//   2  two bits each for supply A and B: current, older, nothing set, the
//      script's settings working but an older date stored
//   3  bits 0-1 and 2-3 the bitstream and the factory bitstream, as byte 1,
//      taken only when bits 4-7 are 0xA (each takes seconds to rewrite)
//   4  read reply size: 0 the default 1,024 bytes, else 240 + 16 * n
//   5  where a torn region's image begins, in 256ths of its length
//   6  bits 0-1 how many of the simulator's faults follow, bits 2-7 their seed;
//      each fault is a kind byte and its parameters (worker_scenario.h)
//   then changes to transfers until the input ends (worker_tampering_backend.h):
//      a head byte (bits 0-1 the transfer kind: control, bulk OUT, bulk IN,
//      any; bits 2-7 the change), a count of transfers of that kind to let
//      pass first (7 bits a byte, bit 7 set when another byte follows), and
//      the change's parameters, read when it is applied.
//
// After the run: it stayed within four hours of virtual time; every item
// reported up to date held the embedded image when the run began, every item
// reported verified holds it at the end, and the information summary appears
// only over an instrument that holds the whole set, unless a forged reply
// came before the report; the controller neither hangs nor would hang at its
// next power-up, unless a forged reply came; the device is closed; the commands are enabled and both bars
// back at 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "device/reply_stream.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/worker_scenario.h"
#include "fuzz/worker_tampering_backend.h"
#include "images/images.h"
#include "instruments/device_list.h"
#include "sequence/item_report.h"
#include "sequence/programming_worker.h"
#include "sim/sim.h"
#include "support/recording_window_port.h"
#include "support/sim_fixture.h"
#include "window/window_port.h"

namespace {

// The fault campaign's bound, kept because this target draws the campaign's
// fault kinds too: six unanswered attempts at every sector of a region take
// minutes, nothing the worker does may take hours.
constexpr std::uint64_t VIRTUAL_TIME_BOUND_US = 4ULL * 3600 * 1'000'000;
constexpr std::int32_t DEVICE_NUMBER = 31;

// Bitstreams a quarter of the smallest the program's loading rules take, so
// that each input reads and writes four times fewer bytes (the bitstream
// checks were most of the time of an input): the set loads with its lowest
// bitstream size lowered to match. The factory bitstream is 256 KiB (whole
// sectors of either size and whole pages), the bitstream 300 bytes more (a
// short last sector and page); the other images keep the synthetic set's
// small sizes.
constexpr std::uint32_t FUZZ_BITSTREAM_SIZE = 0x40000;

sim::SyntheticSizes fuzz_sizes() {
    sim::SyntheticSizes sizes;
    sizes.factory_bitstream = FUZZ_BITSTREAM_SIZE;
    sizes.bitstream = FUZZ_BITSTREAM_SIZE + 300;
    return sizes;
}

[[noreturn]] void violation(const char* what) {
    std::fprintf(stderr, "worker fuzz: %s\n", what);
    __builtin_trap();
}

// The embedded images, loaded once for the process as the program loads its
// resources at start-up.
struct EmbeddedSet {
    sim::SyntheticImages images{5, fuzz_sizes()};
    sim_support::BlobResourceSource resources = sim_support::resources_of(images);
};

const sim::SyntheticImages& embedded_images() {
    static EmbeddedSet* const set = [] {
        auto* made = new EmbeddedSet;
        ImageLoadingLimits limits;
        limits.bitstream_min_exclusive = FUZZ_BITSTREAM_SIZE - 1;
        if (!image_set_load(made->resources, limits)) {
            violation("the synthetic image set does not load");
        }
        bit_reverse_table_build();
        return made;
    }();
    return set->images;
}

// The instrument's item (as sim_support numbers them) of each reported item.
int installed_item(WorkItem item) {
    constexpr int BY_REPORTED_ITEM[WORK_ITEM_COUNT] = {1, 0, 3, 2, 4, 5, 6, 7};
    return BY_REPORTED_ITEM[static_cast<int>(item)];
}

using ItemStates = std::vector<bool>;

ItemStates item_states(const sim::Instrument& instrument, const sim::ImageSet& set) {
    ItemStates states;
    for (int item = 0; item < sim_support::INSTALLED_ITEM_COUNT; ++item) {
        states.push_back(sim_support::instrument_holds_item(instrument, set, item));
    }
    return states;
}

// The item reports of a run, each marked when a forged reply came before it.
class RecordedItems final : public ItemObserver {
  public:
    struct Report {
        ItemEvent event;
        bool after_forgery = false;
    };

    explicit RecordedItems(const worker_fuzz::TamperingBackend& tampering)
        : tampering_(tampering) {}

    void item_event(const ItemEvent& event) override {
        reports.push_back({event, tampering_.forgeries() > 0});
        if (verbose) {
            using Kind = worker_fuzz::TamperingBackend::Kind;
            std::fprintf(stderr, "  %s %s: %s after %zu control, %zu bulk OUT, %zu bulk IN\n",
                         work_item_name(event.item), item_phase_name(event.phase),
                         item_outcome_name(event.outcome), tampering_.transfers(Kind::control),
                         tampering_.transfers(Kind::bulk_out), tampering_.transfers(Kind::bulk_in));
        }
    }

    std::vector<Report> reports;
    bool verbose = false;

  private:
    const worker_fuzz::TamperingBackend& tampering_;
};

void check_reports(const RecordedItems& items, const ItemStates& before, const ItemStates& after) {
    for (const RecordedItems::Report& report : items.reports) {
        if (report.after_forgery) {
            continue;
        }
        const ItemEvent& event = report.event;
        const auto item = static_cast<std::size_t>(installed_item(event.item));
        if (event.phase == ItemPhase::check && event.outcome == ItemOutcome::up_to_date &&
            !before[item]) {
            std::fprintf(stderr, "worker fuzz: %s reported up to date, it did not hold the set\n",
                         work_item_name(event.item));
            __builtin_trap();
        }
        if (event.phase == ItemPhase::verify && event.outcome == ItemOutcome::success &&
            !after[item]) {
            std::fprintf(stderr, "worker fuzz: %s reported verified, it does not hold the set\n",
                         work_item_name(event.item));
            __builtin_trap();
        }
    }
}

// Everything the run installed goes again, whatever the run left behind.
struct ProcessStateReset {
    ~ProcessStateReset() {
        item_observer_install(nullptr);
        device_list_release();
        remembered_device_path().clear();
        window_port_install(nullptr);
        usb_install_backend(nullptr);
        worker_clear_stop();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sim::SyntheticImages& images = embedded_images();
    const sim::ImageSet set = images.set();
    FuzzInput input(data, size);
    const worker_fuzz::Scenario scenario = worker_fuzz::read_scenario(input, images);

    // The program's start-up state.
    reply_stream = ReplyStream{};
    worker_clear_stop();

    sim::VirtualClock clock;
    sim::InstalledVirtualClock installed_clock{clock};
    sim::SimBackend bus(clock);
    RecordingWindowPort window;
    const ProcessStateReset reset;
    usb_install_backend(&bus);
    window_port_install(&window);

    sim::Instrument& instrument =
        bus.attach(worker_fuzz::instrument_config(scenario, DEVICE_NUMBER), set);
    worker_fuzz::load_contents(instrument, set, scenario);

    // Listed and opened as the program command hands the instrument over.
    device_list_refresh(nullptr);
    UsbDevice* device = listed_device(window.device_combo_selection());
    if (device == nullptr) {
        violation("the instrument is not listed before the run");
    }
    remembered_device_path() = device->path;
    if (usb_open_device(device, 1) != 0) {
        violation("the instrument does not open before the run");
    }

    instrument.faults() = scenario.faults;
    const ItemStates before = item_states(instrument, set);
    const std::uint64_t started_us = clock.now_us();

    worker_fuzz::TamperingBackend tampering(bus, input, clock, started_us + VIRTUAL_TIME_BOUND_US);
    RecordedItems items(tampering);
    items.verbose = std::getenv("OMBRIX_WORKER_FUZZ_VERBOSE") != nullptr;
    usb_install_backend(&tampering);
    item_observer_install(&items);
    const WorkerRequest request{device, scenario.program_mode ? 1 : 0};
    if (ProgrammingWorker(&request) != 0) {
        violation("the worker returned other than 0");
    }
    item_observer_install(nullptr);
    usb_install_backend(&bus);

    // 1. Within the bound of virtual time.
    if (clock.now_us() - started_us > VIRTUAL_TIME_BOUND_US) {
        violation("the run took more than four hours of virtual time");
    }

    // 2. What the run reported against what the instrument stores.
    instrument.faults() = sim::Faults{};
    const ItemStates after = item_states(instrument, set);
    check_reports(items, before, after);
    bool summary_up_to_date = false;
    for (const auto& box : window.message_boxes) {
        summary_up_to_date = summary_up_to_date || box.icon == MessageIcon::information;
    }
    if (summary_up_to_date && tampering.forgeries() == 0 &&
        !sim_support::instrument_holds_set(instrument, set)) {
        violation("the summary says up to date, the instrument does not hold the set");
    }

    // 3. A controller that the program can still reach, now and after a power
    // cycle, unless a forged read-back made a wrong EEPROM look right.
    if (tampering.forgeries() == 0 &&
        (instrument.hung() || instrument.state_at_power_up() == sim::ControllerState::hung)) {
        violation("the controller hangs, or would hang at its next power-up");
    }

    // 4. The device closed, the commands back, the bars at 0.
    if (bus.open_handle_count() != 0) {
        violation("the device was left open");
    }
    for (const int control :
         {IDC_PROGRAM, IDC_REFRESH, IDM_FPGA_HALT, IDM_POWER_CYCLE, IDM_VERIFY_CONTENTS}) {
        if (!window.enabled(control)) {
            violation("a command stays disabled after the run");
        }
    }
    if (window.progress(IDC_OVERALL_PROGRESS) != 0 || window.progress(IDC_TASK_PROGRESS) != 0) {
        violation("a progress bar is not back at 0 after the run");
    }

    if (items.verbose) {
        std::fprintf(
            stderr, "%s run, %zu transfers, %zu changes, %zu forgeries, %llu us virtual\n%s",
            scenario.program_mode ? "program" : "check-only", tampering.transfers(),
            tampering.changes(), tampering.forgeries(),
            static_cast<unsigned long long>(clock.now_us() - started_us), window.log().c_str());
        for (const auto& box : window.message_boxes) {
            std::fprintf(stderr, "[box %u] %s\n", static_cast<unsigned>(box.icon),
                         box.text.c_str());
        }
    }
    return 0;
}
