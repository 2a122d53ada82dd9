// The command-line program against a real Linux USB stack: a guest kernel
// under QEMU enumerates the simulated instrument through an emulated xHCI
// controller and usb-redir, and the program runs there over libusb and the
// kernel's usbfs, as a user runs it. The host serves the instrument (built
// from the images the program carries) and checks what it holds afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "images/images.h"
#include "kernel/guest_machine.h"
#include "kernel/usbredir_instrument.h"
#include "resources/embedded_image_set.h"
#include "sim/loaded_images.h"
#include "sim/sim.h"
#include "support/sim_fixture.h"

namespace {

using kernel_bed::GuestOptions;
using kernel_bed::GuestRun;
using kernel_bed::UsbredirInstrumentServer;

// The instrument's clock runs this many times as fast as real time: erases and
// restarts take a quarter of their real time, so a guest under software
// emulation finishes a whole programming run in reasonable time, and nothing
// the guest waits for comes later than on the real instrument.
constexpr double INSTRUMENT_SPEED = 4.0;
constexpr const char* UP_TO_DATE = "All the internal firmwares are up to date.";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Snapshot {
    std::vector<std::uint8_t> flash0, flash1, eeprom;
    bool operator==(const Snapshot&) const = default;
};

class RealKernel : public testing::Test {
  protected:
    void SetUp() override {
        std::string reason;
        ASSERT_TRUE(kernel_bed::guest_available(reason)) << reason;
        ASSERT_TRUE(image_set_load(embedded_image_source()));
        char pattern[] = "/tmp/ombrix-kernel-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }

    void TearDown() override {
        servers_.clear();
        std::filesystem::remove_all(directory_);
    }

    UsbredirInstrumentServer& serve(sim::Contents contents, int device_number = 1) {
        sim::InstrumentConfig config;  // the real instrument's timings
        config.device_number = device_number;
        config.initial = sim::InitialState::all(contents);
        if (contents != sim::Contents::current) {
            config.initial.eeprom = sim::Contents::older;  // an empty EEPROM shows no interface
        }
        config.record_bulk_data = false;
        auto instrument = std::make_unique<sim::Instrument>(std::move(config), sim::loaded_image_set());
        const std::string socket = directory_ + "/redir" + std::to_string(servers_.size()) + ".sock";
        servers_.push_back(std::make_unique<UsbredirInstrumentServer>(std::move(instrument), socket,
                                                                      INSTRUMENT_SPEED));
        EXPECT_TRUE(servers_.back()->start()) << servers_.back()->error();
        return *servers_.back();
    }

    GuestRun boot(const std::string& case_name, std::chrono::seconds deadline = std::chrono::seconds(240)) {
        GuestOptions options;
        options.case_name = case_name;
        options.deadline = deadline;
        for (const auto& server : servers_) {
            options.redir_sockets.push_back(server->socket_path());
        }
        GuestRun run = kernel_bed::run_guest(options);
        report(case_name, run);
        EXPECT_FALSE(run.killed) << "the guest did not power off by its deadline; it wrote:\n"
                                 << run.console;
        EXPECT_TRUE(run.finished) << run.console;
        return run;
    }

    // The figures of a run, for the record of the test log.
    void report(const std::string& case_name, const GuestRun& run) {
        std::printf("[ figures  ] %s: %s, boot %.1f s, total %.1f s, QEMU CPU %.1f s", case_name.c_str(),
                    run.accelerator.c_str(), run.boot_seconds, run.total_seconds, run.qemu_cpu_seconds);
        for (const auto& [name, step] : run.steps) {
            std::printf(", %s %.1f s", name.c_str(), step.seconds);
        }
        for (std::size_t i = 0; i < servers_.size(); ++i) {
            const kernel_bed::ServerFigures figures = servers_[i]->figures();
            std::printf(", server %zu: %llu control %llu OUT %llu IN %llu cancelled %llu refused "
                        "%llu connects %.1f s CPU",
                        i,
                        static_cast<unsigned long long>(figures.control_packets),
                        static_cast<unsigned long long>(figures.bulk_out_packets),
                        static_cast<unsigned long long>(figures.bulk_in_packets),
                        static_cast<unsigned long long>(figures.cancelled),
                        static_cast<unsigned long long>(figures.refused),
                        static_cast<unsigned long long>(figures.connects), figures.thread_cpu_seconds);
        }
        std::printf("\n");
        if (std::getenv("OMBRIX_KERNEL_CONSOLE") != nullptr) {
            std::printf("%s\n", run.console.c_str());
        }
    }

    bool holds_set(UsbredirInstrumentServer& server) {
        bool holds = false;
        server.with_instrument([&](sim::Instrument& instrument) {
            holds = sim_support::instrument_holds_set(instrument, sim::loaded_image_set());
        });
        return holds;
    }

    Snapshot snapshot(UsbredirInstrumentServer& server) {
        Snapshot taken;
        server.with_instrument([&](sim::Instrument& instrument) {
            const auto copy = [](std::span<const std::uint8_t> bytes) {
                return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
            };
            taken.flash0 = copy(instrument.flash(0).bytes());
            taken.flash1 = copy(instrument.flash(1).bytes());
            taken.eeprom = copy(instrument.eeprom().bytes());
        });
        return taken;
    }

    std::string directory_;
    std::vector<std::unique_ptr<UsbredirInstrumentServer>> servers_;
};

// A step of the run; one that did not run reads as failed, with the guest's
// whole console for its output.
kernel_bed::GuestStep step(const GuestRun& run, const std::string& name) {
    const auto found = run.steps.find(name);
    if (found == run.steps.end()) {
        return {"(the step did not run; the guest's console:)\n" + run.console, -1, 0};
    }
    return found->second;
}

TEST_F(RealKernel, ListAndVerifyOfACurrentInstrument) {
    UsbredirInstrumentServer& server = serve(sim::Contents::current);

    const GuestRun run = boot("current");

    const auto listed = step(run, "list");
    EXPECT_EQ(listed.exit_status, 0) << listed.output;
    EXPECT_TRUE(contains(listed.output, "DEV1  port usb:")) << listed.output;
    const auto verified = step(run, "verify");
    EXPECT_EQ(verified.exit_status, 0) << verified.output;
    EXPECT_TRUE(contains(verified.output, "Restarting the instrument ... done")) << verified.output;
    EXPECT_TRUE(contains(verified.output, UP_TO_DATE)) << verified.output;
    // The restart was a real unplug: the server disconnected the device and
    // the guest's kernel enumerated it again.
    EXPECT_GE(server.figures().disconnects, 1U);
    EXPECT_GE(server.figures().connects, 2U);
    EXPECT_TRUE(holds_set(server));
}

TEST_F(RealKernel, VerifyOfAnOlderInstrumentReportsItAndWritesNothing) {
    UsbredirInstrumentServer& server = serve(sim::Contents::older);
    const Snapshot before = snapshot(server);

    const GuestRun run = boot("older");

    const auto verified = step(run, "verify");
    EXPECT_EQ(verified.exit_status, 4) << verified.output;
    EXPECT_TRUE(contains(verified.output, "Checking bitstream ... needs update")) << verified.output;
    EXPECT_TRUE(contains(verified.output, "Checking power supply B ... needs update")) << verified.output;
    EXPECT_FALSE(contains(verified.output, UP_TO_DATE)) << verified.output;
    EXPECT_TRUE(snapshot(server) == before) << "verify changed the instrument's contents";
}

// A whole program of an older instrument, its power cut in the middle of the
// USB firmware's EEPROM write: the controller comes back bare (the write keeps
// the boot marker out until the end), list names it, and recover loads the
// firmware into its RAM and brings every item up to date.
TEST_F(RealKernel, AnEepromWriteCutByPowerLossIsRecoveredFromTheBareController) {
    UsbredirInstrumentServer& server = serve(sim::Contents::older);
    server.with_instrument([](sim::Instrument& instrument) {
        // The 100th EEPROM write from now: a page well inside the USB
        // firmware's (nothing before it writes the EEPROM), which keeps only
        // its first 10 bytes.
        instrument.faults().power_loss_at_eeprom_write = instrument.eeprom_write_count() + 100;
        instrument.faults().eeprom_cut_prefix_bytes = 10;
    });

    const GuestRun run = boot("recover", std::chrono::seconds(600));
    bool cut = false;
    bool hung = false;
    sim::ControllerState at_power_up = sim::ControllerState::hung;
    server.with_instrument([&](sim::Instrument& instrument) {
        cut = !instrument.faults().power_loss_at_eeprom_write.has_value();
        hung = instrument.hung();
        at_power_up = instrument.state_at_power_up();
    });
    const std::string found = std::string("the host finds the controller ") + (hung ? "hung" : "not hung") +
                              ", and at its next power-up " +
                              (at_power_up == sim::ControllerState::instrument ? "the instrument"
                               : at_power_up == sim::ControllerState::bare     ? "bare"
                                                                               : "hung") +
                              "\n";

    ASSERT_TRUE(cut) << "the power was never cut\n" << run.console;
    const auto programmed = step(run, "program");
    EXPECT_EQ(programmed.exit_status, 1) << programmed.output;
    EXPECT_TRUE(contains(programmed.output, "Programming bitstream ... success")) << programmed.output;
    ASSERT_EQ(run.marker("bare"), "04b4:8613") << found << run.console;
    const auto listed = step(run, "list");
    EXPECT_EQ(listed.exit_status, 0) << listed.output;
    EXPECT_TRUE(contains(listed.output, "bare USB controller  port usb:")) << listed.output;
    const auto recovered = step(run, "recover");
    EXPECT_EQ(recovered.exit_status, 0) << recovered.output;
    EXPECT_TRUE(contains(recovered.output, UP_TO_DATE)) << recovered.output;
    EXPECT_EQ(step(run, "verify").exit_status, 0) << step(run, "verify").output;
    EXPECT_TRUE(holds_set(server));
    EXPECT_TRUE(!hung && at_power_up == sim::ControllerState::instrument) << found;
}

TEST_F(RealKernel, HaltAndPowerCycleSendTheirRequests) {
    UsbredirInstrumentServer& server = serve(sim::Contents::current);

    const GuestRun run = boot("commands");

    EXPECT_EQ(step(run, "halt").exit_status, 0) << step(run, "halt").output;
    EXPECT_EQ(step(run, "power_cycle").exit_status, 0) << step(run, "power_cycle").output;
    std::vector<std::uint16_t> sent;
    server.with_instrument([&](sim::Instrument& instrument) {
        for (const sim::TransferRecord& record : instrument.transfers()) {
            if (record.kind == sim::TransferKind::control && record.setup.request == VREQ_FPGA_CONFIG &&
                record.status == sim::TransferStatus::completed) {
                sent.push_back(record.setup.index);
            }
        }
    });
    EXPECT_EQ(sent, (std::vector<std::uint16_t>{FPGA_CONFIG_HALT, FPGA_CONFIG_POWER_CYCLE}));
}

TEST_F(RealKernel, ARestartThatNeverComesBackEndsWithItsMessage) {
    UsbredirInstrumentServer& server = serve(sim::Contents::older);
    server.with_instrument(
        [](sim::Instrument& instrument) { instrument.faults().restart_does_not_come_back = true; });
    const Snapshot before = snapshot(server);

    const GuestRun run = boot("lost_restart");

    const auto verified = step(run, "verify");
    EXPECT_NE(verified.exit_status, 0) << verified.output;
    EXPECT_TRUE(contains(verified.output, "the instrument was not found after restarting")) << verified.output;
    EXPECT_TRUE(snapshot(server) == before);
}

TEST_F(RealKernel, ANodeTheUserMayNotOpenGivesTheHint) {
    serve(sim::Contents::current);

    const GuestRun run = boot("access");

    const auto denied = step(run, "denied");
    EXPECT_EQ(denied.exit_status, 3) << denied.output;
    EXPECT_TRUE(contains(denied.output, "Access to the instrument was denied.")) << denied.output;
    const auto allowed = step(run, "allowed");
    EXPECT_EQ(allowed.exit_status, 0) << allowed.output;
    EXPECT_TRUE(contains(allowed.output, "DEV1  port usb:")) << allowed.output;
    // Across the restart the new node is the user's only once the rule has
    // reached it.
    const auto restarted = step(run, "restarted");
    EXPECT_EQ(restarted.exit_status, 0) << restarted.output;
    EXPECT_TRUE(contains(restarted.output, UP_TO_DATE)) << restarted.output;
}

// A production bench: three instruments, each on its own usbredir device.
// Listings by two processes at once each find all three (each waits out the
// other's hold); program --all is killed with SIGKILL, parent and children,
// while they write; the history shows those runs with no end recorded, never
// as done; a second program --all repairs every instrument and records it.
TEST_F(RealKernel, ThreeInstrumentsKilledWhileWritingAreRepairedByTheNextRunAndTheHistorySaysSo) {
    constexpr int COUNT = 3;
    for (int number = 1; number <= COUNT; ++number) {
        serve(sim::Contents::older, number);
    }

    const GuestRun run = boot("all3", std::chrono::seconds(900));

    const auto listed = step(run, "list");
    for (const char* name : {"DEV1  port usb:", "DEV2  port usb:", "DEV3  port usb:"}) {
        EXPECT_TRUE(contains(listed.output, name)) << listed.output;
    }
    EXPECT_EQ(run.marker("short-listings"), "0") << run.console;
    ASSERT_EQ(run.marker("killed"), "while-programming") << run.console;
    EXPECT_EQ(run.marker("no-end-after-kill"), std::to_string(COUNT)) << step(run, "history_killed").output;
    const auto repaired = step(run, "program_all");
    EXPECT_EQ(repaired.exit_status, 0) << repaired.output;
    EXPECT_EQ(run.marker("no-end"), std::to_string(COUNT)) << step(run, "history").output;
    EXPECT_EQ(run.marker("updated"), std::to_string(COUNT)) << step(run, "history").output;
    for (const auto& server : servers_) {
        EXPECT_TRUE(holds_set(*server));
    }
}

TEST_F(RealKernel, TheKernelsUsbmonRecordMatchesTheProgramsTrace) {
    serve(sim::Contents::current);

    const GuestRun run = boot("usbmon");

    EXPECT_EQ(step(run, "verify").exit_status, 0) << step(run, "verify").output;
    EXPECT_TRUE(contains(run.console, "@@digests-equal")) << run.console;
    // A verify run moves thousands of transfers; an empty pair of digests
    // would also compare equal.
    EXPECT_GT(std::atoi(run.marker("digest trace").c_str()), 1000) << run.console;
}

}  // namespace
