#pragma once
// The simulated instruments as Linux shows them to libusb, through umockdev:
// each instrument is a sysfs USB device with its descriptors and a usbfs
// device node whose ioctls (claim, release, submit, reap, discard) are
// answered by the simulated bus. Needs the process to run under umockdev's
// preload library (umockdev-wrapper). A child process inherits the testbed
// (its environment and the preload library) and reaches the same devices; the
// client's memory is only ever read and written through umockdev's copies.
//
// libusb waits in real time, so the bus's virtual clock is moved on by the
// real time that passes between two ioctls: a reply the instrument delays by
// 50 ms arrives 50 ms later, and instant timing stays instant.
#if defined(__linux__) && defined(OMBRIX_HAVE_UMOCKDEV)
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/usb.h"
#include "sim/sim_backend.h"

struct _UMockdevTestbed;
struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;
struct _UMockdevIoctlData;

class UmockdevUsbfs {
  public:
    explicit UmockdevUsbfs(sim::SimBackend& bus);
    ~UmockdevUsbfs();
    UmockdevUsbfs(const UmockdevUsbfs&) = delete;
    UmockdevUsbfs& operator=(const UmockdevUsbfs&) = delete;

    // true when umockdev's preload library is in the process.
    static bool preloaded();

    // Gives every instrument on the bus, and every bare controller, a device
    // in the testbed (bus 1, one root-hub port each, in order of first sight)
    // and removes those that left.
    void sync();
    // For a program in another process, which moves no virtual time itself:
    // moves the bus's clock on by the real time passed, then syncs.
    void follow_bus();
    // The testbed's root directory (umockdev's stand-in for / ) and the device
    // node the instrument with this simulated path has there now.
    std::string root_dir() const;
    std::optional<std::string> devnode_of(const std::string& sim_path);
    // The port path libusb gives the instrument with this simulated path, and
    // the other way round.
    std::optional<std::string> port_path_of(const std::string& sim_path);
    std::optional<std::string> sim_path_of(const std::string& port_path);

    // URBs submitted and not yet reaped by their client, over every device.
    std::size_t urbs_outstanding();

    // The ioctls this stand-in does not know, by request number.
    std::vector<unsigned long> unknown_requests();

    static int ioctl_signal(_UMockdevIoctlBase* handler, _UMockdevIoctlClient* client, void* self);

  private:
    struct Urb;
    struct Node;

    bool handle_ioctl(_UMockdevIoctlClient* client);
    Node* node_of_devnode(const std::string& devnode);
    void add_node(const std::string& sim_path, bool bare);
    void remove_node(Node& node);
    void follow_real_time();
    bool open_on_bus(Node& node);
    void close_on_bus(Node& node);
    PipeState* pipe(Node& node, std::uint8_t endpoint);
    int submit(Node& node, _UMockdevIoctlData* urb_data);
    void run_control(Node& node, Urb& urb);
    void collect_completions(Node& node);
    bool reap(Node& node, _UMockdevIoctlData* argument);
    int discard(Node& node, unsigned long client_address);

    sim::SimBackend& bus_;
    _UMockdevTestbed* testbed_ = nullptr;
    _UMockdevIoctlBase* handler_ = nullptr;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Node>> nodes_;
    // Each instrument's root-hub port, by its simulated path.
    std::vector<std::pair<std::string, int>> ports_;
    int next_port_ = 1;
    int next_device_number_ = 2;  // 1 is the root hub's
    std::chrono::steady_clock::time_point last_sync_;
    std::vector<unsigned long> unknown_;
};
#endif
