#include "kernel/guest_machine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kernel_bed {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

bool readable(const char* path) {
    return access(path, R_OK) == 0;
}

std::vector<std::string> qemu_arguments(const GuestOptions& options, const std::string& accelerator) {
    std::vector<std::string> words = {
        OMBRIX_QEMU_PATH, "-accel", accelerator, "-m", "512", "-nographic", "-no-reboot",
        "-kernel", OMBRIX_GUEST_KERNEL, "-initrd", OMBRIX_GUEST_INITRAMFS, "-append",
        "console=ttyS0 panic=-1 quiet loglevel=1 ombrix.case=" + options.case_name,
        "-device", "qemu-xhci,id=xhci"};
    for (std::size_t i = 0; i < options.redir_sockets.size(); ++i) {
        const std::string id = "redir" + std::to_string(i);
        words.push_back("-chardev");
        words.push_back("socket,id=" + id + ",path=" + options.redir_sockets[i] + ",reconnect=1");
        words.push_back("-device");
        words.push_back("usb-redir,chardev=" + id + ",id=" + id + "dev,bus=xhci.0");
    }
    return words;
}

// Lines as they arrive, each with the time it was complete.
class ConsoleReader {
  public:
    explicit ConsoleReader(Clock::time_point started) : started_(started) {}

    void add(const char* data, std::size_t size, Clock::time_point now) {
        for (std::size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (c == '\r') {
                continue;
            }
            console_.push_back(c);
            if (c == '\n') {
                line_complete(now);
            } else {
                line_.push_back(c);
            }
        }
    }

    void fill(GuestRun& run) {
        run.console = console_;
        run.boot_seconds = ready_seconds_;
    }

    std::map<std::string, GuestStep> steps;
    bool finished = false;

  private:
    void line_complete(Clock::time_point now) {
        // A marker may follow the terminal codes the firmware left on its line.
        const std::size_t marker_at = line_.find("@@");
        const std::string line = marker_at == std::string::npos ? line_ : line_.substr(marker_at);
        line_.clear();
        const double at = seconds_between(started_, now);
        if (line == "@@ready") {
            ready_seconds_ = at;
        } else if (line == "@@done") {
            finished = true;
        } else if (line.rfind("@@run ", 0) == 0) {
            current_ = line.substr(6);
            steps[current_] = GuestStep{};
            step_started_ = at;
            in_step_ = true;
        } else if (line.rfind("@@exit ", 0) == 0 && in_step_) {
            std::istringstream words(line.substr(7));
            std::string name;
            int status = -1;
            words >> name >> status;
            GuestStep& step = steps[name];
            step.exit_status = status;
            step.seconds = at - step_started_;
            in_step_ = false;
        } else if (in_step_) {
            steps[current_].output += line + "\n";
        }
    }

    Clock::time_point started_;
    std::string console_;
    std::string line_;
    std::string current_;
    bool in_step_ = false;
    double step_started_ = 0;
    double ready_seconds_ = 0;
};

GuestRun run_qemu(const GuestOptions& options, const std::string& accelerator) {
    GuestRun run;
    run.accelerator = accelerator;
    const std::vector<std::string> words = qemu_arguments(options, accelerator);
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);

    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        run.console = "cannot make a pipe";
        return run;
    }
    const Clock::time_point started = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(output[1]);
    ConsoleReader reader(started);
    const Clock::time_point deadline = started + options.deadline;
    char buffer[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            run.killed = true;
            break;
        }
        pollfd ready{output[0], POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (polled < 0 && errno != EINTR) {
            break;
        }
        if (polled <= 0) {
            continue;
        }
        const ssize_t got = read(output[0], buffer, sizeof buffer);
        if (got > 0) {
            reader.add(buffer, static_cast<std::size_t>(got), Clock::now());
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    if (child > 0) {
        if (run.killed) {
            kill(child, SIGKILL);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        run.qemu_cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    close(output[0]);
    run.total_seconds = seconds_between(started, Clock::now());
    reader.fill(run);
    run.steps = std::move(reader.steps);
    run.finished = reader.finished;
    return run;
}

// KVM where it boots the guest quickly, else software emulation. On some
// hosts /dev/kvm is there but a guest never gets past its boot loader, so the
// answer comes from a trial boot with a short deadline, kept for later runs.
std::string accelerator() {
    if (const char* chosen = std::getenv("OMBRIX_KERNEL_ACCEL"); chosen != nullptr && *chosen != 0) {
        return chosen;
    }
    const std::string remembered_path = std::string(OMBRIX_GUEST_STATE_DIR) + "/accelerator";
    std::string remembered;
    if (std::ifstream(remembered_path) >> remembered) {
        return remembered;
    }
    std::string chosen = "tcg";
    if (access("/dev/kvm", R_OK | W_OK) == 0) {
        GuestOptions probe;
        probe.case_name = "probe";
        probe.deadline = std::chrono::seconds(15);
        const GuestRun trial = run_qemu(probe, "kvm");
        if (trial.finished) {
            chosen = "kvm";
        }
    }
    std::ofstream(remembered_path) << chosen << "\n";
    return chosen;
}

}  // namespace

std::string GuestRun::marker(const std::string& key) const {
    const std::string prefix = "@@" + key;
    std::istringstream lines(console);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) == 0 &&
            (line.size() == prefix.size() || line[prefix.size()] == ' ')) {
            return line.size() > prefix.size() ? line.substr(prefix.size() + 1) : "";
        }
    }
    return "";
}

bool guest_available(std::string& reason) {
    for (const char* needed : {OMBRIX_QEMU_PATH, OMBRIX_GUEST_KERNEL, OMBRIX_GUEST_INITRAMFS}) {
        if (!readable(needed)) {
            reason = std::string("cannot read ") + needed;
            return false;
        }
    }
    return true;
}

GuestRun run_guest(const GuestOptions& options) {
    return run_qemu(options, accelerator());
}

}  // namespace kernel_bed
