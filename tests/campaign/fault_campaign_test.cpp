// Seeded random fault schedules against the simulated instrument, in program
// and in check-only mode, with the invariants every run must keep:
//  - the information summary appears only when the instrument holds exactly
//    the embedded set;
//  - every run ends with the controls enabled (when the worker ran) and the
//    device closed;
//  - no run passes a bound of virtual time;
//  - no check reports "up to date" for an item whose stored contents differ
//    from the embedded set (flash regions, the EEPROM, the supplies' stored
//    values), in the faulty run and in the run after it, neither in the log
//    nor in the item reports; an item reported verified holds the set when the
//    run ends;
//  - no run leaves a controller that hangs, now or at its next power-up;
//  - after any failed or stopped run, one clean Program run brings the
//    instrument fully up to date, preceded by a recovery where the controller
//    is bare (and a recovery cut by a power loss or stopped is followed by a
//    power cycle and one clean recovery).
// OMBRIX_CAMPAIGN_SCHEDULES sets the number of schedules (default 200) and
// OMBRIX_CAMPAIGN_FIRST_SEED the first seed; OMBRIX_CAMPAIGN_ALL runs them all
// even after the sixth violation.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "window/window_port.h"
#include "device/forwarding_backend.h"
#include "commands/device_commands.h"
#include "instruments/bare_controllers.h"
#include "instruments/device_list.h"
#include "images/images.h"
#include "campaign/fault_schedule.h"
#include "sequence/item_report.h"
#include "sequence/programming_worker.h"
#include "sim/sim.h"
#include "support/recording_window_port.h"
#include "support/sim_fixture.h"

namespace {

// Six unanswered attempts at every sector of a region take minutes; nothing
// the program does may take hours.
constexpr std::uint64_t VIRTUAL_TIME_BOUND_US = 4ULL * 3600 * 1'000'000;

std::uint64_t environment_number(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoull(text, nullptr, 10) : fallback;
}

struct RunOutcome {
    bool summary_up_to_date = false;  // an information summary was shown
    bool worker_ran = false;
    std::string log;
    std::string last_message;
};

// A backend that calls arrive() as each of the host's transfers goes out.
class TransferHook : public ForwardingUsbBackend {
  public:
    explicit TransferHook(UsbBackend& bus) : ForwardingUsbBackend(bus) {}
    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override {
        arrive();
        return ForwardingUsbBackend::control_transfer(device, setup, data);
    }
    bool start_write(UsbDevice& device, PipeState& pipe,
                     std::span<const std::uint8_t> data) override {
        arrive();
        return ForwardingUsbBackend::start_write(device, pipe, data);
    }
    bool start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) override {
        arrive();
        return ForwardingUsbBackend::start_read(device, pipe, data);
    }

  protected:
    virtual void arrive() = 0;
};

// Holds the host's transfer with a given number until the window's thread
// has handled a "Refresh" click: the click lands at that exact point of a run.
class RefreshClick final : public TransferHook {
  public:
    RefreshClick(UsbBackend& bus, std::size_t at_transfer)
        : TransferHook(bus), at_transfer_(at_transfer) {}

    // On the window's thread: clicks when a transfer asks for it, until the
    // worker has ended.
    void serve_until_worker_ends() {
        std::unique_lock lock(mutex_);
        while (worker_busy()) {
            changed_.wait_for(lock, std::chrono::milliseconds(1), [this] { return requested_; });
            if (requested_) {
                refresh_command();
                requested_ = false;
                clicked_ = true;
                changed_.notify_all();
            }
        }
    }

  private:
    // Transfers of the window's own thread (the restart) go by unheld.
    void arrive() override {
        if (transfers_++ != at_transfer_ || std::this_thread::get_id() == window_thread_) {
            return;
        }
        std::unique_lock lock(mutex_);
        requested_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return clicked_; });
    }

    const std::size_t at_transfer_;
    const std::thread::id window_thread_ = std::this_thread::get_id();
    std::size_t transfers_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool requested_ = false;
    bool clicked_ = false;
};

// What a run showed, read off its window once it has ended; uninstalls the window.
RunOutcome ended(RecordingWindowPort& window, RunOutcome outcome) {
    for (const auto& box : window.message_boxes) {
        outcome.last_message = box.text;
        // Every information message of a run says the instrument is up to date.
        if (box.icon == MessageIcon::information) {
            outcome.summary_up_to_date = true;
        }
    }
    outcome.log = window.log();
    window_port_install(nullptr);
    return outcome;
}

// One command run on a fresh window, as the window's thread would run it.
RunOutcome run_command(RecordingWindowPort& window, bool program_mode, RefreshClick* click) {
    window_port_install(&window);
    device_list_refresh(nullptr);
    RunOutcome outcome;
    const int index = window.device_combo_selection();
    if (index >= 0) {
        outcome.worker_ran = program_command(index, program_mode ? 1 : 0) == 1 && worker_busy();
        if (click != nullptr) {
            click->serve_until_worker_ends();
        }
        worker_wait();
    }
    return ended(window, outcome);
}

// Asks the worker to stop when the host's transfer with this number goes out.
class StopAtTransfer final : public TransferHook {
  public:
    StopAtTransfer(UsbBackend& bus, std::size_t at_transfer)
        : TransferHook(bus), at_transfer_(at_transfer) {}
  private:
    void arrive() override {
        if (transfers_++ == at_transfer_) {
            worker_request_stop();
        }
    }
    const std::size_t at_transfer_;
    std::size_t transfers_ = 0;
};

// A recovery of the bare controller at path, as the command line runs it.
RunOutcome run_recovery(RecordingWindowPort& window, const std::string& path) {
    window_port_install(&window);
    RunOutcome outcome;
    const std::vector<std::string> bare = bare_controller_paths();
    EXPECT_EQ(bare, std::vector<std::string>{path}) << "the bare controller is listed, alone";
    outcome.worker_ran = recover_command(path.c_str()) == 1;
    worker_wait();
    return ended(window, outcome);
}

bool hung_now_or_later(sim::SimBackend& bus, const sim::Instrument& instrument) {
    auto lock = bus.lock();
    return instrument.hung() || instrument.state_at_power_up() == sim::ControllerState::hung;
}

// Power returns after a cut, or comes back after the user's power cycle.
void power_up(sim::VirtualClock& clock, sim::SimBackend& bus, sim::Instrument& instrument,
              bool cycle) {
    {
        auto lock = bus.lock();
        if (cycle) {
            instrument.lose_power(clock.now_us());
        }
    }
    clock.advance_us(instrument.timing().power_restore_us + 1'000'000);
    bus.settle();
}

// The items each check label stands for.
struct CheckLabel {
    const char* line;
    std::vector<int> items;
};
const std::vector<CheckLabel> CHECK_LABELS = {
    {"Checking firmware ... up to date", {1}},
    {"Checking bitstream ... up to date", {0}},
    {"Checking factory firmware ... up to date", {3}},
    {"Checking factory bitstream ... up to date", {2, 4}},
    {"Checking USB firmware ... up to date", {5}},
    {"Checking power supply A ... up to date", {6}},
    {"Checking power supply B ... up to date", {7}},
};

// Which items held the set when a run began.
using ItemStates = std::vector<bool>;
ItemStates item_states(sim::SimBackend& bus, const sim::Instrument& instrument,
                       const sim::ImageSet& set) {
    auto lock = bus.lock();
    ItemStates states;
    for (int item = 0; item < sim_support::INSTALLED_ITEM_COUNT; ++item) {
        states.push_back(sim_support::instrument_holds_item(instrument, set, item));
    }
    return states;
}

// A check may call an item up to date only when it held the set at the
// start of the run (nothing in a run rewrites an item before its check).
void expect_checks_true_to(const ItemStates& before, const std::string& log, const char* run) {
    for (const CheckLabel& label : CHECK_LABELS) {
        if (log.find(label.line) == std::string::npos) {
            continue;
        }
        for (const int item : label.items) {
            EXPECT_TRUE(before[static_cast<std::size_t>(item)])
                << run << ": \"" << label.line << "\" over item " << item << ", which did not hold the set";
        }
    }
}

// The item events of a run, as the command line's table and JSON records
// show them.
struct RecordedItems : ItemObserver {
    std::vector<ItemEvent> events;
    void item_event(const ItemEvent& event) override { events.push_back(event); }
};

// The instrument's item (as instrument_holds_item numbers them) of each reported item.
int installed_item(WorkItem item) {
    constexpr int BY_REPORTED_ITEM[WORK_ITEM_COUNT] = {1, 0, 3, 2, 4, 5, 6, 7};
    return BY_REPORTED_ITEM[static_cast<int>(item)];
}

// An item reported up to date held the set when the run began; one reported
// rewritten and verified holds it when the run ends.
void expect_item_reports_true_to(const ItemStates& before, const ItemStates& after,
                                 const std::vector<ItemEvent>& events, const char* run) {
    for (const ItemEvent& event : events) {
        const auto item = static_cast<std::size_t>(installed_item(event.item));
        if (event.outcome == ItemOutcome::up_to_date) {
            EXPECT_TRUE(before[item]) << run << ": " << work_item_name(event.item)
                                      << " reported up to date, it did not hold the set";
        }
        if (event.phase == ItemPhase::verify && event.outcome == ItemOutcome::success) {
            EXPECT_TRUE(after[item]) << run << ": " << work_item_name(event.item)
                                     << " reported verified, it does not hold the set";
        }
    }
}

// Brings the instrument current after a faulty run: a Program run, or a
// recovery where the controller is bare (before, or after the Program run's
// restart found its EEPROM without a boot image). A recovery the schedule
// faults (a power cut in its firmware load, a stop) is followed by a power
// cycle and the same again, clean.
// Each of its runs keeps the check invariant against what the instrument held
// when that run began.
// The recoveries it made, and the faults they met, go into kinds for the tally.
RunOutcome repair_run(sim::VirtualClock& clock, sim::SimBackend& bus, sim::Instrument& instrument,
                      const FaultSchedule& schedule, const sim::ImageSet& set,
                      std::vector<std::string>& kinds) {
    const auto checked = [&](const ItemStates& before, RunOutcome outcome) {
        SCOPED_TRACE("the repair:\n" + outcome.log);
        expect_checks_true_to(before, outcome.log, "the run after it");
        return outcome;
    };
    const auto bare = [&] {
        auto lock = bus.lock();
        return instrument.bare();
    };
    bool recovery_faulted = false;
    const auto recover = [&](bool faults_allowed) {
        RecordingWindowPort window;
        std::optional<StopAtTransfer> stop;
        if (faults_allowed && schedule.recovery_power_cut_at) {
            auto lock = bus.lock();
            instrument.faults().power_loss_at_transfer =
                instrument.transfers().size() + *schedule.recovery_power_cut_at;
            recovery_faulted = true;
            kinds.emplace_back("recovery: power cut");
        } else if (faults_allowed && schedule.recovery_stop_at) {
            stop.emplace(bus, *schedule.recovery_stop_at);
            usb_install_backend(&*stop);
            recovery_faulted = true;
            kinds.emplace_back("recovery: stopped");
        } else if (faults_allowed) {
            kinds.emplace_back("recovery");
        }
        const ItemStates before = item_states(bus, instrument, set);
        RunOutcome outcome = checked(before, run_recovery(window, instrument.path()));
        usb_install_backend(&bus);
        worker_clear_stop();
        auto lock = bus.lock();
        instrument.faults().power_loss_at_transfer.reset();
        return outcome;
    };
    const auto round = [&](bool faults_allowed) {
        if (bare()) {
            return recover(faults_allowed);
        }
        RecordingWindowPort window;
        const ItemStates before = item_states(bus, instrument, set);
        RunOutcome program = checked(before, run_command(window, true, nullptr));
        return program.summary_up_to_date || !bare() ? program : recover(faults_allowed);
    };
    RunOutcome outcome = round(true);
    if (recovery_faulted) {
        power_up(clock, bus, instrument, true);
        outcome = round(false);
    }
    return outcome;
}

class Campaign : public testing::Test {
protected:
    Campaign() {
        const sim_support::BlobResourceSource resources_template = sim_support::resources_of(images_);
        resources_ = resources_template;
        image_set_load(resources_);
        bit_reverse_table_build();
    }

    void run_schedules(const std::vector<std::uint64_t>& seeds);

    sim::SyntheticImages images_{7, sim_support::loadable_sizes()};
    sim_support::BlobResourceSource resources_;
};

// Failed assertions so far in the running test.
int failed_part_count() {
    const testing::TestResult* result = testing::UnitTest::GetInstance()->current_test_info()->result();
    int failed = 0;
    for (int i = 0; i < result->total_part_count(); ++i) {
        failed += result->GetTestPartResult(i).failed() ? 1 : 0;
    }
    return failed;
}

struct Tally {
    std::map<std::string, std::map<std::string, int>> by_fault;  // fault kind -> outcome -> runs
    int schedules = 0;
    int violations = 0;
    int hung = 0;  // schedules that left a controller hanging, now or at power-up

    void count(const std::vector<std::string>& kinds, const std::string& outcome) {
        for (const std::string& kind : kinds) {
            ++by_fault[kind][outcome];
        }
        ++schedules;
    }

    void print() const {
        std::printf("\nFault campaign: %d schedules, %d invariant violations, %d with a hung controller\n",
                    schedules, violations, hung);
        std::printf("%-26s %9s %9s %9s %9s %9s\n", "fault kind", "summary", "failed", "repaired",
                    "hung", "runs");
        for (const auto& [kind, outcomes] : by_fault) {
            int runs = 0;
            for (const auto& [outcome, n] : outcomes) {
                runs += n;
            }
            auto get = [&](const char* outcome) {
                auto found = outcomes.find(outcome);
                return found == outcomes.end() ? 0 : found->second;
            };
            std::printf("%-26s %9d %9d %9d %9d %9d\n", kind.c_str(), get("up to date"), get("failed"),
                        get("repaired"), get("hung"), runs);
        }
    }
};

void Campaign::run_schedules(const std::vector<std::uint64_t>& seeds) {
    Tally tally;
    for (const std::uint64_t seed : seeds) {
        sim::VirtualClock clock;
        sim::InstalledVirtualClock installed{clock};
        sim::SimBackend bus(clock);
        usb_install_backend(&bus);
        const FaultSchedule schedule = make_fault_schedule(seed, images_);
        sim::Instrument& instrument = bus.attach(schedule.instrument, images_.set());
        {
            auto lock = bus.lock();
            schedule.arm(instrument);
        }

        const int failures_before = failed_part_count();
        RecordingWindowPort window;
        const std::uint64_t started_us = clock.now_us();
        const ItemStates at_start = item_states(bus, instrument, images_.set());
        std::optional<RefreshClick> click;
        if (schedule.refresh_at_transfer) {
            click.emplace(bus, *schedule.refresh_at_transfer);
            usb_install_backend(&*click);
        }
        RecordedItems items;
        item_observer_install(&items);
        const RunOutcome outcome =
            run_command(window, schedule.program_mode, click ? &*click : nullptr);
        item_observer_install(nullptr);
        usb_install_backend(&bus);
        SCOPED_TRACE("seed " + std::to_string(seed) + " (" + schedule.describe() + ")\n" + outcome.log);
        expect_checks_true_to(at_start, outcome.log, "the faulty run");
        expect_item_reports_true_to(at_start, item_states(bus, instrument, images_.set()),
                                    items.events, "the faulty run");

        const std::uint64_t elapsed_us = clock.now_us() - started_us;
        EXPECT_LT(elapsed_us, VIRTUAL_TIME_BOUND_US);
        EXPECT_EQ(bus.open_handle_count(), 0U) << "the device was left open";
        bool holds_set = false;
        {
            auto lock = bus.lock();
            holds_set = instrument_holds_set(instrument, images_);
            schedule.disarm(instrument);
        }
        if (outcome.summary_up_to_date) {
            EXPECT_TRUE(holds_set) << "the summary said up to date, the instrument disagrees";
        }
        if (outcome.worker_ran) {
            for (const int control : {IDC_PROGRAM, IDC_REFRESH, IDM_FPGA_HALT, IDM_POWER_CYCLE,
                                      IDM_VERIFY_CONTENTS}) {
                EXPECT_TRUE(window.enabled(control)) << "control " << control;
            }
        }

        std::string result = outcome.summary_up_to_date ? "up to date" : "failed";
        std::vector<std::string> kinds = schedule.kinds;
        // The controller must start at power-up as something a later run
        // reaches: the instrument, or the bare controller that recover loads.
        if (hung_now_or_later(bus, instrument)) {
            ADD_FAILURE() << "the controller hangs, or would at its next power-up";
            ++tally.hung;
            ++tally.violations;
            tally.count(kinds, "hung");
            device_list_release();
            usb_install_backend(nullptr);
            continue;  // no later run reaches it
        }
        if (!holds_set || !outcome.summary_up_to_date) {
            // Whatever the run left, the program repairs: one clean Program
            // run, with a recovery first where the controller is bare.
            power_up(clock, bus, instrument, false);
            const RunOutcome repair =
                repair_run(clock, bus, instrument, schedule, images_.set(), kinds);
            auto lock = bus.lock();
            const bool repaired = repair.summary_up_to_date && instrument_holds_set(instrument, images_) &&
                                  instrument.state_at_power_up() == sim::ControllerState::instrument;
            EXPECT_TRUE(repaired) << "the repair did not restore the set:\n" << repair.log
                                  << repair.last_message;
            if (repaired && !outcome.summary_up_to_date) {
                result = "repaired";
            }
        }
        tally.count(kinds, result);
        if (failed_part_count() > failures_before) {
            ++tally.violations;
        }
        device_list_release();
        usb_install_backend(nullptr);
        if (tally.violations > 5 && std::getenv("OMBRIX_CAMPAIGN_ALL") == nullptr) {
            break;  // enough to act on
        }
    }
    tally.print();
}

TEST_F(Campaign, EveryScheduleKeepsTheInvariants) {
    const std::uint64_t schedules = environment_number("OMBRIX_CAMPAIGN_SCHEDULES", 200);
    const std::uint64_t first_seed = environment_number("OMBRIX_CAMPAIGN_FIRST_SEED", 1);
    std::vector<std::uint64_t> seeds;
    for (std::uint64_t seed = first_seed; seed < first_seed + schedules; ++seed) {
        seeds.push_back(seed);
    }
    run_schedules(seeds);
}

// Schedules that once broke an invariant, kept by name.
TEST_F(Campaign, RegressionSchedules) {
    // 16: a corrupted EEPROM read-back fails the USB firmware step although the
    // EEPROM holds the image; the next run finds everything up to date and
    // must say so.
    // 15122 (control short), 18342 (stuck flash bit, control short), 40354
    // (control failed): a supply's STORE_DEFAULT_ALL sends lost; the run said
    // "done" over a supply whose stored values were the old ones, and the next
    // check, reading the working values, said "up to date".
    // 6307, 15125, 19060, 19142 (EEPROM write lost): the header chunk stored
    // wrong; the controller no longer booted the instrument's firmware, so
    // no later run could find the instrument to repair it.
    // 31, 104, 117, 142, 151, 221, 224, 239: an EEPROM write that stopped
    // halfway (a refused page, a failed request) left the old header over a
    // body half new, half old: the controller hung at its next start.
    run_schedules({16, 15122, 18342, 40354, 6307, 15125, 19060, 19142, 31, 104, 117, 142, 151, 221,
                   224, 239});
}

}  // namespace
