#pragma once
// Records what a backend answers during one operation and answers the same
// again without it: the host's own work, measured without the simulated
// instrument's. A replay holds only while the operation makes the same calls
// in the same order; one that strays is marked diverged and fails the calls.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "device/forwarding_backend.h"
#include "device/usb.h"

namespace bench_support {

// The read buffer given to each pipe's read in flight (a device has few pipes).
class PendingReads {
  public:
    void set(const PipeState* pipe, std::span<std::uint8_t> data) {
        for (auto& entry : entries_) {
            if (entry.first == pipe) {
                entry.second = data;
                return;
            }
        }
        entries_.emplace_back(pipe, data);
    }
    // The buffer of the pipe's read, forgotten; empty when the pipe has none.
    std::span<std::uint8_t> take(const PipeState* pipe) {
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if (entry->first == pipe) {
                const std::span<std::uint8_t> data = entry->second;
                entries_.erase(entry);
                return data;
            }
        }
        return {};
    }
    void clear() { entries_.clear(); }

  private:
    std::vector<std::pair<const PipeState*, std::span<std::uint8_t>>> entries_;
};

enum class CallKind { control, start_write, start_read, wait, finish, abort };

struct RecordedCall {
    CallKind kind = CallKind::control;
    int result = 0;                  // the bool or int the backend returned
    int transferred = 0;             // finish only
    std::vector<std::uint8_t> data;  // what a read or a control transfer delivered
};

// Passes every transfer to the backend underneath and keeps its answers.
class RecordingBackend final : public ForwardingUsbBackend {
  public:
    explicit RecordingBackend(UsbBackend& inner) : ForwardingUsbBackend(inner) {}
    std::vector<RecordedCall>& calls() { return calls_; }

    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override {
        const int result = ForwardingUsbBackend::control_transfer(device, setup, data);
        calls_.push_back({CallKind::control, result, 0, {data.begin(), data.end()}});
        return result;
    }
    bool start_write(UsbDevice& device, PipeState& pipe,
                     std::span<const std::uint8_t> data) override {
        const bool started = ForwardingUsbBackend::start_write(device, pipe, data);
        calls_.push_back({CallKind::start_write, started, 0, {}});
        return started;
    }
    bool start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) override {
        const bool started = ForwardingUsbBackend::start_read(device, pipe, data);
        reads_.set(&pipe, data);
        calls_.push_back({CallKind::start_read, started, 0, {}});
        return started;
    }
    bool wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) override {
        const bool completed = ForwardingUsbBackend::wait(device, pipe, timeout_ms);
        calls_.push_back({CallKind::wait, completed, 0, {}});
        return completed;
    }
    bool finish(UsbDevice& device, PipeState& pipe, int* transferred) override {
        const bool finished = ForwardingUsbBackend::finish(device, pipe, transferred);
        RecordedCall call{CallKind::finish, finished, *transferred, {}};
        const std::span<std::uint8_t> read = reads_.take(&pipe);
        const std::size_t count =
            std::min(static_cast<std::size_t>(std::max(*transferred, 0)), read.size());
        call.data.assign(read.begin(), read.begin() + static_cast<std::ptrdiff_t>(count));
        calls_.push_back(std::move(call));
        return finished;
    }
    void abort(UsbDevice& device, PipeState& pipe) override {
        ForwardingUsbBackend::abort(device, pipe);
        reads_.take(&pipe);
        calls_.push_back({CallKind::abort, 0, 0, {}});
    }

  private:
    std::vector<RecordedCall> calls_;
    PendingReads reads_;
};

// Answers from a recording, with no instrument behind it.
class ReplayBackend final : public UsbBackend {
  public:
    explicit ReplayBackend(const std::vector<RecordedCall>& calls) : calls_(calls) {}
    void rewind() {
        next_ = 0;
        diverged_ = false;
        reads_.clear();
    }
    // Whether every recorded call was made, in order, and no other.
    bool replayed_whole() const { return !diverged_ && next_ == calls_.size(); }

    void list_interfaces(const Guid&, std::vector<std::string>&) override {}
    int open(UsbDevice&) override { return -1; }
    int get_descriptor(UsbDevice&, std::uint8_t, std::uint8_t, std::span<std::uint8_t>) override {
        return -1;
    }
    void open_pipe(UsbDevice&, PipeState&, bool) override {}
    void close_pipe(UsbDevice&, PipeState&) override {}
    void close(UsbDevice&) override {}

    int control_transfer(UsbDevice&, const UsbSetupPacket&, std::span<std::uint8_t> data) override {
        const RecordedCall* call = take(CallKind::control);
        if (call == nullptr) {
            return -1;
        }
        std::copy_n(call->data.begin(), std::min(call->data.size(), data.size()), data.begin());
        return call->result;
    }
    bool start_write(UsbDevice&, PipeState&, std::span<const std::uint8_t>) override {
        const RecordedCall* call = take(CallKind::start_write);
        return call != nullptr && call->result != 0;
    }
    bool start_read(UsbDevice&, PipeState& pipe, std::span<std::uint8_t> data) override {
        const RecordedCall* call = take(CallKind::start_read);
        reads_.set(&pipe, data);
        return call != nullptr && call->result != 0;
    }
    bool wait(UsbDevice&, PipeState&, std::uint32_t) override {
        const RecordedCall* call = take(CallKind::wait);
        return call != nullptr && call->result != 0;
    }
    bool finish(UsbDevice&, PipeState& pipe, int* transferred) override {
        const RecordedCall* call = take(CallKind::finish);
        *transferred = 0;
        if (call == nullptr) {
            return false;
        }
        const std::span<std::uint8_t> read = reads_.take(&pipe);
        std::copy_n(call->data.begin(), std::min(call->data.size(), read.size()), read.begin());
        *transferred = call->transferred;
        return call->result != 0;
    }
    void abort(UsbDevice&, PipeState& pipe) override {
        take(CallKind::abort);
        reads_.take(&pipe);
    }

  private:
    const RecordedCall* take(CallKind kind) {
        if (diverged_ || next_ >= calls_.size() || calls_[next_].kind != kind) {
            diverged_ = true;
            return nullptr;
        }
        return &calls_[next_++];
    }

    const std::vector<RecordedCall>& calls_;
    std::size_t next_ = 0;
    bool diverged_ = false;
    PendingReads reads_;
};

}  // namespace bench_support
