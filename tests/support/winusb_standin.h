#pragma once
// A stand-in for the kernel, SetupAPI and WinUSB functions of WinUsbApi, over
// the simulated instrument's bus. It keeps what the documentation promises:
// overlapped transfers that return FALSE with ERROR_IO_PENDING, the I/O
// manager resetting the OVERLAPPED's event when a transfer starts and setting
// it when the transfer ends (completed, failed or aborted), results collected
// with WinUsb_GetOverlappedResult (ERROR_IO_INCOMPLETE while pending), aborts
// that end the transfer with ERROR_OPERATION_ABORTED, and errors through the
// thread's last-error value. Successful calls set it to ERROR_SUCCESS, which
// the documentation allows, so a caller that must keep an error has to.
//
// Events are real kernel events. Waiting cannot run real time against virtual
// time, so WaitForSingleObject lets the simulated bus run until the pipe's
// transfer ends or the timeout passes on its clock, then looks at the event.
//
// The table's functions are plain function pointers: they reach the one
// stand-in alive at a time.
#ifdef _WIN32
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/winusb/winusb_api.h"
#include "sim/sim_backend.h"

class WinUsbStandin {
  public:
    explicit WinUsbStandin(sim::SimBackend& bus);
    ~WinUsbStandin();
    WinUsbStandin(const WinUsbStandin&) = delete;
    WinUsbStandin& operator=(const WinUsbStandin&) = delete;

    const WinUsbApi& api() const;

    // Paths the simulated instrument does not take by itself.
    struct Faults {
        bool class_devs_fail = false;  // SetupDiGetClassDevsA gives INVALID_HANDLE_VALUE
        // The detail size query of this member fails with detail_size_error.
        std::optional<DWORD> detail_size_fail_at;
        DWORD detail_size_error = ERROR_INVALID_PARAMETER;
        std::optional<DWORD> detail_fail_at;  // the second detail call of this member fails
        bool initialize_fail = false;         // WinUsb_Initialize refuses every handle
        bool create_event_fail = false;
        // A transfer that has already ended when it starts returns TRUE.
        bool complete_at_start = false;
        // The next WinUsb_WritePipe / WinUsb_ReadPipe fails at once with this error.
        std::optional<DWORD> next_start_error;
        // Aborts leave the transfer pending: its cancellation never reports.
        bool abort_never_completes = false;
        // Counts reported by the stack are this much larger than the buffer holds.
        ULONG overstated_count = 0;
    } faults;

    // The maximum transfer size every pipe's policy reports.
    ULONG max_transfer_size = 0x3FFFC0;

    // What the backend asked for.
    struct ClassDevsCall {
        GUID class_guid{};
        bool enumerator_null = false;
        bool parent_null = false;
        DWORD flags = 0;
    };
    struct CreateFileCall {
        std::string path;
        DWORD access = 0;
        DWORD share_mode = 0;
        bool security_null = false;
        DWORD creation = 0;
        DWORD flags = 0;
        bool template_null = false;
    };
    struct PolicyCall {
        UCHAR pipe_id = 0;
        ULONG policy = 0;
        std::vector<UCHAR> value;
    };
    struct PipeCall {
        UCHAR pipe_id = 0;
        ULONG length = 0;
        bool overlapped = false;
    };
    struct DescriptorCall {
        UCHAR type = 0;
        UCHAR index = 0;
        USHORT language_id = 0;
        ULONG buffer_length = 0;
    };
    struct EventCall {
        bool security_null = false;
        BOOL manual_reset = FALSE;
        BOOL initial_state = FALSE;
        bool name_null = false;
    };
    struct ControlCall {
        WINUSB_SETUP_PACKET setup{};
        ULONG buffer_length = 0;
        bool overlapped = false;
    };
    std::vector<ClassDevsCall> class_devs_calls;
    std::vector<EventCall> event_calls;
    std::vector<CreateFileCall> create_file_calls;
    std::vector<PolicyCall> policies_read;
    std::vector<PolicyCall> policies_set;
    std::vector<PipeCall> writes;
    std::vector<PipeCall> reads;
    std::vector<DescriptorCall> descriptor_calls;
    std::vector<ControlCall> control_calls;
    std::vector<UCHAR> aborts;
    // Releases and cancellations in order: "WinUsb_Free", "CloseHandle file",
    // "CloseHandle event 0x86" (the pipe that last used the event),
    // "WinUsb_AbortPipe 0x86".
    std::vector<std::string> releases;
    int transfers_completed_at_start = 0;

    // What is open now.
    int open_files() const;
    int open_interfaces() const;
    int open_events() const;
    int open_device_info_sets() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
    friend struct StandinSystemCalls;
    friend struct StandinTransferCalls;
};

#endif  // _WIN32
