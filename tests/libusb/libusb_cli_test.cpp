// The command-line program itself, run as a process of its own, reaching a
// simulated instrument through real libusb: this test hosts the instrument
// behind umockdev (whose preload library the program inherits) and answers
// the program's usbfs ioctls, while a thread keeps the bus's clock and the
// stand-in's devices in step with real time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/program_arguments.h"

#include "window/window_port.h"
#include "images/images.h"
#include "resources/embedded_image_set.h"
#include "sim/loaded_images.h"
#include "sim/sim.h"
#include "support/sim_fixture.h"
#include "support/umockdev_usbfs.h"

namespace {

constexpr int INSTRUMENT_NUMBER = 7;
constexpr int CANNOT_DENY_ACCESS = 77;
// Far beyond any run here (a whole program run takes minutes under the
// sanitizers); a program that hangs is ended and the case fails.
constexpr auto PROGRAM_DEADLINE = std::chrono::minutes(15);

struct ProgramRun {
    int exit_code = -1;
    std::string output;  // standard output and error, interleaved
    bool hung = false;   // ended by the test at the deadline
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The list's one line for the instrument: its port as libusb names it.
bool lists_dev7(const std::string& output, const std::string& usb_firmware) {
    return std::regex_match(output, std::regex("DEV7  port usb:[0-9]+-[0-9.]+  serial \\S+  USB firmware " +
                                               std::regex_replace(usb_firmware, std::regex("\\."), "\\.") +
                                               "\n"));
}

// In the program's process before it starts: makes file permissions bind it.
// Root passes them by its capabilities; dropping them from the bounding set
// keeps them from coming back when the program starts.
bool bind_to_file_permissions() {
    if (geteuid() != 0) {
        return true;
    }
    return prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0 &&
           prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) == 0;
}

// Everything the program writes until it closes its end or the deadline
// passes; false when the deadline passed first.
bool read_until_closed(int descriptor, std::chrono::steady_clock::time_point deadline,
                       std::string& text) {
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd ready{descriptor, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno != EINTR) {
            return false;
        }
        if (polled <= 0) {
            continue;
        }
        const ssize_t got = read(descriptor, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            return true;
        }
    }
}

class CommandLineThroughLibusb : public testing::Test {
  protected:
    void SetUp() override {
        if (!UmockdevUsbfs::preloaded()) {
            GTEST_SKIP() << "needs umockdev's preload library (run under umockdev-wrapper)";
        }
        // The instrument is built from the very images the program carries.
        ASSERT_TRUE(image_set_load(embedded_image_source()));
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(state_, ignored);
    }

    sim::Instrument& attach(sim::Contents contents, int device_number = INSTRUMENT_NUMBER) {
        sim::InstrumentConfig config = sim_support::instant_instrument();
        config.device_number = device_number;
        // The program looks for a restarted instrument every 250 ms of real
        // time; it stays away long enough to be seen leaving.
        config.timing.restart_back_us = 2'000'000;
        config.initial = sim::InitialState::all(contents);
        config.initial.eeprom = sim::Contents::older;  // an empty EEPROM shows no interface
        config.record_bulk_data = false;
        sim::Instrument& instrument = bus_.attach(std::move(config), sim::loaded_image_set());
        usbfs_.sync();
        return instrument;
    }

    // Runs the program with these arguments to its end.
    ProgramRun run(const std::vector<std::string>& arguments, bool bound_by_permissions = false) {
        int output[2];
        if (pipe2(output, O_CLOEXEC) != 0) {
            return {};
        }
        std::vector<std::string> words = program_words(OMBRIX_CLI_PATH, arguments);
        const std::vector<char*> argv = exec_argv(words);

        const pid_t child = fork();
        if (child < 0) {
            close(output[0]);
            close(output[1]);
            return {};
        }
        if (child == 0) {
            // The run history goes to the test's own directory, never the user's.
            setenv("XDG_STATE_HOME", state_.c_str(), 1);
            dup2(output[1], STDOUT_FILENO);
            dup2(output[1], STDERR_FILENO);
            if (bound_by_permissions && !bind_to_file_permissions()) {
                _exit(CANNOT_DENY_ACCESS);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(output[1]);
        std::atomic<bool> ended{false};
        std::thread follower([&] {
            while (!ended.load()) {
                usbfs_.follow_bus();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        ProgramRun result;
        result.hung =
            !read_until_closed(output[0], std::chrono::steady_clock::now() + PROGRAM_DEADLINE,
                               result.output);
        if (result.hung) {
            kill(child, SIGKILL);
            ADD_FAILURE() << "the program did not end in time; it wrote:\n" << result.output;
        }
        close(output[0]);
        int status = 0;
        waitpid(child, &status, 0);
        ended.store(true);
        follower.join();
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

    bool holds_set(const sim::Instrument& instrument) {
        const auto lock = bus_.lock();
        return sim_support::instrument_holds_set(instrument, sim::loaded_image_set());
    }

    sim::VirtualClock clock_;
    sim::SimBackend bus_{clock_};
    UmockdevUsbfs usbfs_{bus_};
    const std::string state_ = [] {
        char path[] = "/tmp/ombrix-state-XXXXXX";
        return std::string(mkdtemp(path) != nullptr ? path : "/nonexistent/ombrix-state");
    }();
};

TEST_F(CommandLineThroughLibusb, ListThenProgramBringsAnOlderInstrumentUpToDate) {
    sim::Instrument& instrument = attach(sim::Contents::older);
    ASSERT_FALSE(holds_set(instrument));

    const ProgramRun listed = run({"list"});
    EXPECT_EQ(listed.exit_code, 0) << listed.output;
    EXPECT_TRUE(lists_dev7(listed.output, "1.37")) << listed.output;

    const ProgramRun programmed = run({"program", "--yes", "--device", "dev7"});
    EXPECT_EQ(programmed.exit_code, 0) << programmed.output;
    EXPECT_TRUE(contains(programmed.output, "Restarting the instrument ... done")) << programmed.output;
    EXPECT_TRUE(contains(programmed.output, "Programming bitstream ... success")) << programmed.output;
    EXPECT_TRUE(contains(programmed.output, "Programming power supply B ... done"))
        << programmed.output;
    EXPECT_TRUE(contains(programmed.output, "All the internal firmwares are up to date."))
        << programmed.output;
    EXPECT_TRUE(holds_set(instrument));
    EXPECT_EQ(bus_.open_handle_count(), 0U);

    EXPECT_TRUE(usbfs_.unknown_requests().empty());
}

TEST_F(CommandLineThroughLibusb, VerifyOfAnOlderInstrumentFailsAndWritesNothing) {
    sim::Instrument& instrument = attach(sim::Contents::older);
    const auto flash_contents = [&] {
        const auto lock = bus_.lock();
        std::vector<std::uint8_t> bytes;
        for (int device = 0; device < 2; ++device) {
            const auto flash = instrument.flash(device).bytes();
            bytes.insert(bytes.end(), flash.begin(), flash.end());
        }
        return bytes;
    };
    const std::vector<std::uint8_t> flash_before = flash_contents();

    const ProgramRun verified = run({"verify"});
    EXPECT_EQ(verified.exit_code, 4) << verified.output;
    EXPECT_TRUE(contains(verified.output, "Checking bitstream ... needs update")) << verified.output;
    EXPECT_TRUE(flash_contents() == flash_before) << "a check wrote to the flash";
    EXPECT_FALSE(holds_set(instrument));
}

TEST_F(CommandLineThroughLibusb, AnInstrumentItMayNotOpenIsNotListedAndTheHintSaysWhy) {
    const sim::Instrument& instrument = attach(sim::Contents::current);
    const std::optional<std::string> devnode = usbfs_.devnode_of(instrument.path());
    ASSERT_TRUE(devnode.has_value());
    const std::string node_file = usbfs_.root_dir() + *devnode;
    ASSERT_EQ(chmod(node_file.c_str(), 0), 0) << node_file;

    const ProgramRun listed = run({"list"}, true);
    if (listed.exit_code == CANNOT_DENY_ACCESS) {
        GTEST_SKIP() << "this process cannot give up root's way past file permissions";
    }
    EXPECT_EQ(listed.exit_code, 3) << listed.output;
    EXPECT_TRUE(contains(listed.output, "Access to the instrument was denied.")) << listed.output;
    EXPECT_TRUE(contains(listed.output, "70-ombrix.rules")) << listed.output;
    EXPECT_TRUE(contains(listed.output,
                         "No instrument found; 1 attached instrument could not be opened "
                         "(another program may hold it) or did not answer."))
        << listed.output;
    EXPECT_FALSE(contains(listed.output, "DEV7")) << listed.output;

    ASSERT_EQ(chmod(node_file.c_str(), 0644), 0);
    const ProgramRun allowed = run({"list"}, true);
    EXPECT_EQ(allowed.exit_code, 0) << allowed.output;
    EXPECT_TRUE(lists_dev7(allowed.output, "1.37")) << allowed.output;
}

TEST_F(CommandLineThroughLibusb, AnInstrumentAnotherProgramKeepsIsReportedAndNotTouched) {
    const sim::Instrument& held = attach(sim::Contents::older);
    attach(sim::Contents::current, 8);
    bus_.set_held_open(held, true);  // its interface claimed: usbfs answers EBUSY
    const std::size_t transfers_before = held.transfers().size();
    const std::string unlisted =
        "1 attached instrument could not be opened (another program may hold it) or did not "
        "answer.";

    const ProgramRun listed = run({"list"});
    EXPECT_EQ(listed.exit_code, 0) << listed.output;
    EXPECT_TRUE(contains(listed.output, "DEV8  port usb:")) << listed.output;
    EXPECT_FALSE(contains(listed.output, "DEV7")) << listed.output;
    EXPECT_TRUE(contains(listed.output, "warning: Not listed: " + unlisted)) << listed.output;

    const ProgramRun verified = run({"verify", "--device", "DEV7"});
    EXPECT_EQ(verified.exit_code, 3) << verified.output;
    EXPECT_TRUE(contains(verified.output, "No instrument DEV7 found; attached: DEV8 (port usb:"))
        << verified.output;
    EXPECT_TRUE(contains(verified.output, "); " + unlisted)) << verified.output;
    const auto lock = bus_.lock();
    EXPECT_EQ(held.transfers().size(), transfers_before);
    EXPECT_EQ(bus_.open_handle_count(), 0U);
}

}  // namespace
