#pragma once
// A fake instrument for the device layer's tests. Its IN pipe 0x86 delivers a
// scripted sequence of read results; its OUT pipe 0x02 and its control pipe
// record everything sent. Waiting takes virtual time from the installed clock,
// so a read that times out costs exactly its timeout and can be collected by a
// later read, as on a real bus.
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "device/usb.h"

class ScriptedBackend : public UsbBackend {
  public:
    enum class Outcome {
        complete,            // the transfer completes (reads: with the scripted bytes)
        timeout,             // one wait passes with nothing; the transfer stays in flight
        start_failure,       // the transfer does not start
        completion_failure,  // the transfer completes but the platform reports it failed
    };

    struct ControlRequest {
        UsbSetupPacket setup;
        std::vector<std::uint8_t> data;  // OUT: the bytes sent; IN: the bytes answered
    };

    ScriptedBackend();
    ScriptedBackend(const ScriptedBackend&) = delete;
    ScriptedBackend& operator=(const ScriptedBackend&) = delete;

    // An open record with one bulk OUT pipe 0x02 and one bulk IN pipe 0x86.
    UsbDevice* device() { return &device_; }

    // Pipe 0x86: the next read delivers bytes, delay_ms after it is first
    // waited for. A silent instrument (empty script) lets every wait time out.
    void queue_read(std::vector<std::uint8_t> bytes, std::uint32_t delay_ms = 0);
    void queue_read_outcome(Outcome outcome);
    std::size_t reads_queued() const { return reads_.size(); }
    int reads_started() const { return reads_started_; }

    // Pipe 0x02: outcomes of the next writes; when none is queued, the default
    // (initially complete) applies. accept_bytes limits what a write takes.
    void queue_write_outcome(Outcome outcome, int accept_bytes = -1);
    void set_default_write_outcome(Outcome outcome) { default_write_ = outcome; }
    const std::vector<std::vector<std::uint8_t>>& writes() const { return writes_; }

    // Control pipe: the next device-to-host request answers these bytes (a
    // failed request when empty); with none queued, it answers zeros in full.
    // Host-to-device requests are accepted whole.
    void queue_control_answer(std::vector<std::uint8_t> bytes);
    const std::vector<ControlRequest>& control_requests() const { return control_requests_; }
    int aborts() const { return aborts_; }

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

  private:
    struct ScriptedTransfer {
        Outcome outcome = Outcome::complete;
        std::vector<std::uint8_t> bytes;
        std::uint32_t delay_ms = 0;
        int accept_bytes = -1;
    };
    struct Transfer {
        bool in_flight = false;
        bool completed = false;
        bool failed = false;
        int transferred = 0;
        std::span<std::uint8_t> in_buffer;
        std::size_t out_length = 0;
        ScriptedTransfer script;
    };

    bool wait_read(std::uint32_t timeout_ms);
    bool wait_write(std::uint32_t timeout_ms);
    Transfer& transfer_of(const PipeState& pipe);

    std::string path_ = "scripted-instrument";
    PipeState out_pipe_;
    PipeState in_pipe_;
    UsbDevice device_;
    std::deque<ScriptedTransfer> reads_;
    std::deque<ScriptedTransfer> write_outcomes_;
    std::deque<std::vector<std::uint8_t>> control_answers_;
    Outcome default_write_ = Outcome::complete;
    Transfer read_;
    Transfer write_;
    std::vector<std::vector<std::uint8_t>> writes_;
    std::vector<ControlRequest> control_requests_;
    int reads_started_ = 0;
    int aborts_ = 0;
};

// A reply frame: magic, the word count, two reserved words, the payload.
std::vector<std::uint8_t> frame_bytes(std::uint32_t word_count,
                                      std::span<const std::uint8_t> payload);
// The same with the word count that the payload's length gives.
std::vector<std::uint8_t> frame_bytes(std::span<const std::uint8_t> payload);
