#pragma once
// A backend between the worker and the simulated instrument that changes,
// transfer by transfer, what reaches the worker, as the fuzzer's input says.
//
// The input is a series of changes. Each names the kind of transfer it waits
// for (control, bulk OUT, bulk IN, or any), how many transfers of that kind
// to let pass first, and what to do to the next one; the next change waits
// from there. Once the input is used up every transfer passes unchanged, so
// every run ends as a clean run would.
//
// Most changes are honest: they lose, cut, split, repeat, delay or fail what
// the instrument sent, or take less of what the host wrote, as a bad cable or
// a busy host controller may. A few forge: they hand the worker bytes the
// instrument never sent. No host can tell forged bytes from the instrument's
// own, so what the worker concludes after a forgery is not held against it;
// forgeries() says whether one happened yet.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <vector>

#include "device/forwarding_backend.h"
#include "fuzz/fuzz_input.h"
#include "sim/virtual_clock.h"

namespace worker_fuzz {

// A count of 7 bits a byte, low bits first, at most three bytes.
inline std::uint32_t read_count(FuzzInput& input) {
    std::uint32_t value = 0;
    for (int shift = 0; shift < 21; shift += 7) {
        const std::uint8_t byte = input.byte();
        value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            break;
        }
    }
    return value;
}

// Bytes a reader must not look at (past the count a transfer reported): a
// pattern from one input byte, so that a read past the count sees values the
// input chose rather than the instrument's.
inline void scribble(std::span<std::uint8_t> bytes, std::uint8_t seed) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 0x3B);
    }
}

// What a change does to a control transfer.
enum class ControlChange : unsigned {
    pass,
    fail_unsent,  // fails before it reaches the instrument
    fail_after,   // the instrument carries it out, the host is told it failed
    cut_short,    // the reply (or the data stage) ends early
    forge,        // a reply the instrument never sent
    count
};

// What a change does to a bulk OUT transfer.
enum class WriteChange : unsigned {
    pass,
    fail_to_start,  // nothing reaches the instrument
    fail_after,     // the instrument takes it all, the host is told it failed
    report_fewer,   // the host is told fewer bytes went out than did
    prefix_only,    // only the first bytes reach the instrument, and the host is told so
    time_out,       // the host stops waiting before it completes
    count
};

// What a change does to a bulk IN transfer.
enum class ReadChange : unsigned {
    pass,
    fail_to_start,
    fail_after,       // the bytes came, the host is told the read failed
    cut_short,        // the end of the reply is lost
    lose,             // the whole reply is lost
    split,            // handed over in two reads
    repeat,           // the last bytes delivered come again, the instrument is not asked
    miss_completion,  // one wait does not see it complete; the next wait collects it
    garbage,          // bytes the instrument never sent, instead of a reply
    replace,          // some of the reply's bytes replaced
    count
};

class TamperingBackend final : public ForwardingUsbBackend {
  public:
    enum class Kind : unsigned { control, bulk_out, bulk_in, any };

    // A call on the bus after the virtual clock passed time_bound_us stops
    // the run as hung.
    TamperingBackend(UsbBackend& inner, FuzzInput& input, const sim::VirtualClock& clock,
                     std::uint64_t time_bound_us)
        : ForwardingUsbBackend(inner),
          input_(input),
          clock_(clock),
          time_bound_us_(time_bound_us) {}

    // Changes that put bytes before the worker which the instrument never sent.
    std::size_t forgeries() const { return forgeries_; }
    // Changes applied, and transfers seen (of one kind, or all).
    std::size_t changes() const { return changes_; }
    std::size_t transfers() const { return transfers_; }
    std::size_t transfers(Kind kind) const {
        return kind == Kind::any ? transfers_ : seen_[static_cast<std::size_t>(kind)];
    }

    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override {
        check_time();
        const bool in = (setup.request_type & 0x80) != 0;
        switch (next_change<ControlChange>(Kind::control)) {
            // A failed request is reported as the platforms report it.
            case ControlChange::fail_unsent:
                return CONTROL_REQUEST_FAILED;
            case ControlChange::fail_after:
                ForwardingUsbBackend::control_transfer(device, setup, data);
                return CONTROL_REQUEST_FAILED;
            case ControlChange::cut_short: {
                const int sent = ForwardingUsbBackend::control_transfer(device, setup, data);
                const std::uint8_t cut = input_.byte();
                const std::uint8_t seed = input_.byte();
                if (sent <= 0) {
                    return sent;
                }
                const auto kept = static_cast<std::size_t>(cut % sent);
                if (in) {
                    scribble(data.subspan(kept), seed);
                }
                return static_cast<int>(kept);
            }
            case ControlChange::forge: {
                ForwardingUsbBackend::control_transfer(device, setup, data);
                if (!in) {
                    // A data stage cannot be forged: the request fails instead.
                    return CONTROL_REQUEST_FAILED;
                }
                const std::size_t count = input_.byte() % (data.size() + 1);
                const std::vector<std::uint8_t> forged = input_.bytes(count);
                std::copy(forged.begin(), forged.end(), data.begin());
                forgeries_ += forged.empty() ? 0 : 1;
                return static_cast<int>(forged.size());
            }
            default:
                return ForwardingUsbBackend::control_transfer(device, setup, data);
        }
    }

    bool start_write(UsbDevice& device, PipeState& pipe,
                     std::span<const std::uint8_t> data) override {
        check_time();
        InFlight& flight = in_flight_[&pipe];
        flight = InFlight{};
        flight.write = next_change<WriteChange>(Kind::bulk_out);
        switch (flight.write) {
            case WriteChange::fail_to_start:
                return false;
            case WriteChange::prefix_only: {
                const std::size_t taken = data.empty() ? 0 : read_count(input_) % data.size();
                return ForwardingUsbBackend::start_write(device, pipe, data.first(taken));
            }
            case WriteChange::report_fewer:
                flight.parameter = read_count(input_);
                break;
            default:
                break;
        }
        return ForwardingUsbBackend::start_write(device, pipe, data);
    }

    bool start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) override {
        check_time();
        InFlight& flight = in_flight_[&pipe];
        flight = InFlight{};
        flight.reading = true;
        flight.buffer = data;
        if (!held_back_.empty()) {
            // The rest of a reply of which an earlier read handed over only the start.
            ++transfers_;
            ++seen_[static_cast<std::size_t>(Kind::bulk_in)];
            flight.served_here = true;
            flight.bytes = take_front(held_back_, data.size());
            return true;
        }
        flight.read = next_change<ReadChange>(Kind::bulk_in);
        switch (flight.read) {
            case ReadChange::fail_to_start:
                return false;
            case ReadChange::repeat: {
                if (last_delivered_.empty()) {
                    break;
                }
                const auto repeated = std::span<const std::uint8_t>(last_delivered_)
                                          .first(std::min(last_delivered_.size(), data.size()));
                flight.served_here = true;
                flight.bytes.assign(repeated.begin(), repeated.end());
                return true;
            }
            case ReadChange::garbage:
                flight.served_here = true;
                flight.bytes = input_.bytes(read_count(input_) % (data.size() + 1));
                forgeries_ += flight.bytes.empty() ? 0 : 1;
                return true;
            case ReadChange::cut_short:
            case ReadChange::split:
                flight.parameter = read_count(input_);
                flight.seed = input_.byte();
                break;
            case ReadChange::lose:
                flight.seed = input_.byte();
                break;
            default:
                break;
        }
        return ForwardingUsbBackend::start_read(device, pipe, data);
    }

    bool wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) override {
        check_time();
        InFlight* flight = in_flight_of(pipe);
        if (flight != nullptr && flight->served_here) {
            return true;
        }
        const bool completed = ForwardingUsbBackend::wait(device, pipe, timeout_ms);
        if (flight == nullptr) {
            return completed;
        }
        if (flight->reading && flight->read == ReadChange::miss_completion) {
            flight->read = ReadChange::pass;
            return false;
        }
        if (!flight->reading && flight->write == WriteChange::time_out) {
            return false;
        }
        return completed;
    }

    bool finish(UsbDevice& device, PipeState& pipe, int* transferred) override {
        check_time();
        int unused = 0;
        int* count_out = transferred != nullptr ? transferred : &unused;
        InFlight* found = in_flight_of(pipe);
        if (found == nullptr) {
            return ForwardingUsbBackend::finish(device, pipe, transferred);
        }
        const InFlight flight = std::move(*found);
        in_flight_.erase(&pipe);
        if (flight.served_here) {
            const std::size_t count = std::min(flight.bytes.size(), flight.buffer.size());
            std::copy_n(flight.bytes.begin(), count, flight.buffer.begin());
            *count_out = static_cast<int>(count);
            delivered(flight.buffer.first(count));
            return true;
        }
        const bool ok = ForwardingUsbBackend::finish(device, pipe, count_out);
        if (!ok || *count_out <= 0) {
            return ok;
        }
        const auto count = static_cast<std::size_t>(*count_out);
        return flight.reading ? finish_read(flight, count, count_out)
                              : finish_write(flight, count, count_out);
    }

    void abort(UsbDevice& device, PipeState& pipe) override {
        in_flight_.erase(&pipe);
        ForwardingUsbBackend::abort(device, pipe);
    }

    void close_pipe(UsbDevice& device, PipeState& pipe) override {
        in_flight_.erase(&pipe);
        held_back_.clear();
        ForwardingUsbBackend::close_pipe(device, pipe);
    }

    void close(UsbDevice& device) override {
        for (int i = 0; device.out_pipes != nullptr && i < device.out_pipe_count; ++i) {
            in_flight_.erase(&device.out_pipes[i]);
        }
        for (int i = 0; device.in_pipes != nullptr && i < device.in_pipe_count; ++i) {
            in_flight_.erase(&device.in_pipes[i]);
        }
        ForwardingUsbBackend::close(device);
    }

  private:
    // The change riding on the one transfer in flight on a pipe.
    struct InFlight {
        bool reading = false;
        WriteChange write = WriteChange::pass;
        ReadChange read = ReadChange::pass;
        std::uint32_t parameter = 0;
        std::uint8_t seed = 0;
        std::span<std::uint8_t> buffer;   // a read's buffer
        bool served_here = false;         // a read answered here, not by the instrument
        std::vector<std::uint8_t> bytes;  // what such a read delivers
    };

    InFlight* in_flight_of(const PipeState& pipe) {
        const auto found = in_flight_.find(&pipe);
        return found != in_flight_.end() ? &found->second : nullptr;
    }

    static std::vector<std::uint8_t> take_front(std::vector<std::uint8_t>& bytes,
                                                std::size_t count) {
        const auto taken = static_cast<std::ptrdiff_t>(std::min(count, bytes.size()));
        std::vector<std::uint8_t> front(bytes.begin(), bytes.begin() + taken);
        bytes.erase(bytes.begin(), bytes.begin() + taken);
        return front;
    }

    void delivered(std::span<const std::uint8_t> bytes) {
        if (!bytes.empty()) {
            last_delivered_.assign(bytes.begin(), bytes.end());
        }
    }

    static bool finish_write(const InFlight& flight, std::size_t count, int* transferred) {
        switch (flight.write) {
            case WriteChange::fail_after:
                *transferred = 0;
                return false;
            case WriteChange::report_fewer:
                *transferred = static_cast<int>(flight.parameter % count);
                return true;
            default:
                return true;
        }
    }

    bool finish_read(const InFlight& flight, std::size_t count, int* transferred) {
        const std::span<std::uint8_t> arrived = flight.buffer.first(count);
        switch (flight.read) {
            case ReadChange::fail_after:
                *transferred = 0;
                return false;
            case ReadChange::cut_short:
            case ReadChange::split: {
                const std::size_t kept = flight.parameter % count;
                if (flight.read == ReadChange::split) {
                    const auto rest = arrived.subspan(kept);
                    held_back_.assign(rest.begin(), rest.end());
                }
                scribble(flight.buffer.subspan(kept), flight.seed);
                *transferred = static_cast<int>(kept);
                delivered(flight.buffer.first(kept));
                return true;
            }
            case ReadChange::lose:
                scribble(flight.buffer, flight.seed);
                *transferred = 0;
                return true;
            case ReadChange::replace: {
                const std::size_t at = read_count(input_) % count;
                const std::vector<std::uint8_t> forged = input_.bytes(input_.byte() % 64 + 1U);
                const std::size_t replaced = std::min(forged.size(), count - at);
                std::copy_n(forged.begin(), replaced, arrived.subspan(at).begin());
                forgeries_ += replaced == 0 ? 0 : 1;
                delivered(arrived);
                return true;
            }
            default:
                delivered(arrived);
                return true;
        }
    }

    // The change for this transfer: pass unless the waiting change is due.
    template <typename Change>
    Change next_change(Kind kind) {
        ++transfers_;
        ++seen_[static_cast<std::size_t>(kind)];
        if (!loaded_ && !input_.empty()) {
            const std::uint8_t head = input_.byte();
            target_ = static_cast<Kind>(head & 0x03);
            action_ = static_cast<unsigned>(head >> 2);
            skip_ = read_count(input_);
            loaded_ = true;
        }
        if (!loaded_ || (target_ != Kind::any && target_ != kind)) {
            return Change::pass;
        }
        if (skip_ > 0) {
            --skip_;
            return Change::pass;
        }
        loaded_ = false;
        ++changes_;
        return static_cast<Change>(action_ % static_cast<unsigned>(Change::count));
    }

    void check_time() const {
        if (clock_.now_us() > time_bound_us_) {
            std::fprintf(stderr, "worker fuzz: the run went on past %llu us of virtual time\n",
                         static_cast<unsigned long long>(time_bound_us_));
            __builtin_trap();
        }
    }

    FuzzInput& input_;
    const sim::VirtualClock& clock_;
    const std::uint64_t time_bound_us_;

    // The change waiting for its transfer.
    bool loaded_ = false;
    Kind target_ = Kind::any;
    unsigned action_ = 0;
    std::uint32_t skip_ = 0;

    std::map<const PipeState*, InFlight> in_flight_;
    std::vector<std::uint8_t> held_back_;  // the rest of a split reply
    std::vector<std::uint8_t> last_delivered_;
    std::size_t forgeries_ = 0;
    std::size_t changes_ = 0;
    std::size_t transfers_ = 0;
    std::size_t seen_[3] = {};  // by kind: control, bulk OUT, bulk IN (reads served here too)
};

}  // namespace worker_fuzz
