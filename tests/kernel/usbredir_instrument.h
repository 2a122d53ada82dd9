#pragma once
// A simulated instrument on a real USB bus: serves one sim::Instrument to
// QEMU's usb-redir device over the usbredir protocol, playing the host side
// that owns the device. The guest's kernel enumerates it, its usbfs carries the
// program's transfers, and this server answers them from the instrument.
//
// Time: the instrument's clock follows real time, sped up by a factor, so
// what the guest waits for (an erase, a supply's store, a restart) takes real
// time too. Bulk IN requests are held until the instrument has data, so the
// guest's pending reads and timeouts are real; a request the guest cancels is
// answered as cancelled. When the instrument leaves the bus (a restart, a power
// loss, a firmware load's release of the 8051) the server disconnects the
// device, and connects it again with the descriptors it comes back with (the
// instrument's, or the bare controller's: its own ids, endpoint 0 alone): the
// guest sees an unplug and a new device address. A controller that never
// comes back stays disconnected.
//
// The server listens on a Unix socket; QEMU connects to it (and connects again
// after a dropped connection). One thread per server runs the protocol; the
// instrument is shared with the test under the server's lock.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/instrument.h"

namespace kernel_bed {

struct ServerFigures {
    std::uint64_t control_packets = 0;
    std::uint64_t bulk_out_packets = 0;
    std::uint64_t bulk_in_packets = 0;
    std::uint64_t cancelled = 0;
    std::uint64_t refused = 0;  // requests answered with a stall or an error by the server itself
    std::uint64_t connects = 0;
    std::uint64_t disconnects = 0;
    double thread_cpu_seconds = 0;
};

class UsbredirInstrumentServer {
  public:
    // Serves instrument at socket_path; virtual time runs speed times as fast
    // as real time.
    UsbredirInstrumentServer(std::unique_ptr<sim::Instrument> instrument, std::string socket_path,
                             double speed);
    ~UsbredirInstrumentServer();
    UsbredirInstrumentServer(const UsbredirInstrumentServer&) = delete;
    UsbredirInstrumentServer& operator=(const UsbredirInstrumentServer&) = delete;

    // Binds the socket and starts serving; false (with the reason in error())
    // when the socket cannot be made.
    bool start();
    // Stops serving and closes the connection.
    void stop();
    const std::string& error() const { return error_; }
    const std::string& socket_path() const { return socket_path_; }

    // Runs inspect with the instrument while the server keeps its hands off it.
    void with_instrument(const std::function<void(sim::Instrument&)>& inspect);
    ServerFigures figures();

  private:
    class Session;
    void serve();

    std::unique_ptr<sim::Instrument> instrument_;
    std::string socket_path_;
    double speed_;
    // The instrument's time when the last connection ended: a new one goes on
    // from there.
    std::uint64_t virtual_base_us_ = 0;
    std::string error_;
    int listen_fd_ = -1;
    std::mutex mutex_;
    ServerFigures figures_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace kernel_bed
