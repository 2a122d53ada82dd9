#pragma once
// The host's USB stack with simulated instruments plugged in: a UsbBackend
// that the core's usb_* functions run on. Time is the given VirtualClock:
// control transfers advance it by their round trip, and waiting on a pipe
// advances it to the transfer's completion or to the timeout, whichever comes
// first. Changes scheduled by the instruments (a restart leaving the bus,
// coming back) happen as the clock passes them.
//
// A read that is started and not collected stays in flight, and data that
// arrives later completes it. A device that leaves the bus fails every
// transfer in flight and every handle opened before it left.
//
// All members lock one (recursive) mutex, so a worker thread can drive the
// backend while a test thread inspects; a test that reads an instrument's
// state while a worker runs takes lock() first, and may call members while
// it holds it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/usb.h"
#include "sim/image_set.h"
#include "sim/instrument.h"
#include "sim/virtual_clock.h"

namespace sim {

// The instrument's device interface class.
extern const Guid INSTRUMENT_INTERFACE_CLASS;
// What list_interfaces takes to list the bare controllers.
extern const Guid BARE_CONTROLLER_CLASS;

class SimBackend final : public UsbBackend {
  public:
    explicit SimBackend(VirtualClock& clock);
    ~SimBackend() override;
    SimBackend(const SimBackend&) = delete;
    SimBackend& operator=(const SimBackend&) = delete;

    // Plugs an instrument into the next free port. An instrument without a
    // path gets one naming its port; the path stays the same across restarts.
    Instrument& attach(std::unique_ptr<Instrument> instrument);
    Instrument& attach(InstrumentConfig config, const ImageSet& images);
    // Unplugs it; its open handles die. Returns it so that it can be plugged
    // in again.
    std::unique_ptr<Instrument> detach(const Instrument& instrument);
    // Another program holds the device open: opening it is refused as a
    // claimed interface is (USB_OPEN_HELD), until it is released, or until
    // the clock reaches release_us.
    void set_held_open(const Instrument& instrument, bool held);
    void hold_open_until(const Instrument& instrument, std::uint64_t release_us);

    std::unique_lock<std::recursive_mutex> lock() { return std::unique_lock(mutex_); }
    VirtualClock& clock() { return clock_; }
    // Lets scheduled changes happen up to the clock's present time.
    void settle();
    // Devices opened and not yet closed (whether or not still usable).
    std::size_t open_handle_count();

    void list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) override;
    int open(UsbDevice& device) override;
    int get_descriptor(UsbDevice& device, std::uint8_t type, std::uint8_t index,
                       std::span<std::uint8_t> buffer) override;
    void open_pipe(UsbDevice& device, PipeState& pipe, bool out) override;
    void close_pipe(UsbDevice& device, PipeState& pipe) override;
    void close(UsbDevice& device) override;
    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override;
    bool start_write(UsbDevice& device, PipeState& pipe,
                     std::span<const std::uint8_t> data) override;
    bool start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) override;
    bool wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) override;
    bool finish(UsbDevice& device, PipeState& pipe, int* transferred) override;
    void abort(UsbDevice& device, PipeState& pipe) override;

    // The largest transfer a pipe takes, as its policy reports it.
    static constexpr std::uint32_t MAX_TRANSFER_SIZE = 2 * 1024 * 1024;

  private:
    struct Port {
        std::uint32_t id = 0;
        std::unique_ptr<Instrument> instrument;
        std::uint64_t held_until_us = 0;  // held while the clock is before it
    };
    // One pipe's transfer context: at most one transfer in flight.
    struct Pipe {
        enum class State { idle, in_flight, completed };
        std::uint8_t endpoint = 0;
        bool out = false;
        State state = State::idle;
        std::span<std::uint8_t> read_buffer;
        std::optional<std::uint64_t> write_complete_us;
        std::size_t record = 0;  // the transfer's entry in the instrument's record
        std::uint64_t started_us = 0;
        std::size_t transferred = 0;
        bool ok = false;
    };
    // An open device: good while its instrument stays in the bus session it
    // was opened in.
    struct Handle {
        std::uint32_t port_id = 0;
        std::uint64_t session = 0;
        std::vector<std::unique_ptr<Pipe>> pipes;
    };

    Port* find_port(const std::string& path);
    Port* find_port(const Instrument& instrument);
    Port* find_port(std::uint32_t id);
    Handle* handle_of(const UsbDevice& device);
    Pipe* pipe_of(const UsbDevice& device, const PipeState& pipe);
    Instrument* live_instrument(const Handle& handle);

    std::optional<std::uint64_t> completion_us(const Handle& handle, const Pipe& pipe);
    void complete(Handle& handle, Pipe& pipe, std::uint64_t time_us);
    void end_in_flight(Handle& handle, Pipe& pipe, TransferStatus status, std::uint64_t time_us);
    void fail_in_flight(Handle& handle, Pipe& pipe, std::uint64_t time_us);
    void fail_dead_handles(std::uint64_t time_us);
    // Processes, in time order, every completion and scheduled change due up
    // to time_us; the clock itself is moved by the callers.
    void run_until(std::uint64_t time_us);
    std::optional<std::uint64_t> next_event_us();

    VirtualClock& clock_;
    std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<std::unique_ptr<Handle>> handles_;
    std::uint32_t next_port_id_ = 1;
};

}  // namespace sim
