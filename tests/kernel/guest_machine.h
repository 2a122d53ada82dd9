#pragma once
// A Linux guest under QEMU with an xHCI controller and one usb-redir device per
// instrument server: boots the packaged kernel with the test bed's initramfs,
// runs one case of the guest's cases.sh, and hands back what its console said.
// A guest that has not powered off by the deadline is killed; its case then
// fails with the console output.
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace kernel_bed {

// One step of a case: the command's output and exit status, and the real time
// between its start and end markers as the host saw them.
struct GuestStep {
    std::string output;
    int exit_status = -1;
    double seconds = 0;
};

struct GuestRun {
    std::string console;  // everything the guest wrote
    std::map<std::string, GuestStep> steps;
    bool finished = false;  // the case ran to its end marker
    bool killed = false;    // ended at the deadline
    double boot_seconds = 0;    // from QEMU's start to the guest's ready marker
    double total_seconds = 0;   // from QEMU's start to its end
    double qemu_cpu_seconds = 0;
    std::string accelerator;

    // The value of the first "@@key value" marker line, or "" when absent.
    std::string marker(const std::string& key) const;
};

struct GuestOptions {
    std::string case_name;
    std::vector<std::string> redir_sockets;  // one usb-redir device each, in order
    std::chrono::seconds deadline{240};
};

// Whether the test bed can run here; otherwise the reason.
bool guest_available(std::string& reason);

GuestRun run_guest(const GuestOptions& options);

}  // namespace kernel_bed
