#ifdef _WIN32
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "support/winusb_standin_state.h"

using namespace winusb_standin;

BOOL WINAPI StandinTransferCalls::WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE interface_handle,
                                                       UCHAR type, UCHAR index, USHORT language_id,
                                                       PUCHAR buffer, ULONG buffer_length,
                                                       PULONG transferred) {
    owner().descriptor_calls.push_back({type, index, language_id, buffer_length});
    StandinFile* file = state().file_of_interface(interface_handle);
    if (file == nullptr) {
        return fail_with(ERROR_INVALID_HANDLE);
    }
    *transferred = 0;
    const int got = state().bus.get_descriptor(file->device, type, index, {buffer, buffer_length});
    if (got < 0) {
        return fail_with(ERROR_GEN_FAILURE);
    }
    *transferred = static_cast<ULONG>(got) + owner().faults.overstated_count;
    return succeed();
}

BOOL WINAPI StandinTransferCalls::WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE interface_handle,
                                                       UCHAR pipe_id, ULONG policy,
                                                       PULONG value_length, PVOID value) {
    owner().policies_read.push_back({pipe_id, policy, {}});
    StandinFile* file = state().file_of_interface(interface_handle);
    if (file == nullptr) {
        return fail_with(ERROR_INVALID_HANDLE);
    }
    if (value_length == nullptr || value == nullptr) {
        return fail_with(ERROR_INVALID_PARAMETER);
    }
    const StandinPipe& pipe = state().pipe(*file, pipe_id);
    std::vector<UCHAR> stored(1, 0);
    if (policy == MAXIMUM_TRANSFER_SIZE) {
        stored.resize(sizeof(ULONG));
        std::memcpy(stored.data(), &owner().max_transfer_size, sizeof(ULONG));
    } else if (const auto found = pipe.policies.find(policy); found != pipe.policies.end()) {
        stored = found->second;
    }
    if (*value_length < stored.size()) {
        *value_length = static_cast<ULONG>(stored.size());
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(value, stored.data(), stored.size());
    *value_length = static_cast<ULONG>(stored.size());
    return succeed();
}

BOOL WINAPI StandinTransferCalls::WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE interface_handle,
                                                       UCHAR pipe_id, ULONG policy,
                                                       ULONG value_length, PVOID value) {
    StandinFile* file = state().file_of_interface(interface_handle);
    if (file == nullptr) {
        return fail_with(ERROR_INVALID_HANDLE);
    }
    const auto* bytes = static_cast<const UCHAR*>(value);
    std::vector<UCHAR> stored(bytes, bytes + (value != nullptr ? value_length : 0));
    owner().policies_set.push_back({pipe_id, policy, stored});
    state().pipe(*file, pipe_id).policies[policy] = std::move(stored);
    return succeed();
}

BOOL WINAPI StandinTransferCalls::WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE interface_handle,
                                                         WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                                         ULONG buffer_length, PULONG transferred,
                                                         LPOVERLAPPED overlapped) {
    owner().control_calls.push_back({setup, buffer_length, overlapped != nullptr});
    StandinFile* file = state().file_of_interface(interface_handle);
    if (file == nullptr) {
        return fail_with(ERROR_INVALID_HANDLE);
    }
    if (overlapped != nullptr) {
        return fail_with(ERROR_INVALID_PARAMETER);  // only the blocking form is modelled
    }
    *transferred = 0;
    UsbSetupPacket packet;
    packet.request_type = setup.RequestType;
    packet.request = setup.Request;
    packet.value = setup.Value;
    packet.index = setup.Index;
    packet.length = setup.Length;
    const int got = state().bus.control_transfer(file->device, packet, {buffer, buffer_length});
    // A request the device stalls fails, with or without data.
    if (got < 0) {
        return fail_with(ERROR_GEN_FAILURE);
    }
    *transferred = static_cast<ULONG>(std::max(got, 0)) + owner().faults.overstated_count;
    return succeed();
}

BOOL StandinTransferCalls::start_transfer(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                          PUCHAR buffer, ULONG length, PULONG transferred,
                                          LPOVERLAPPED overlapped, bool out) {
    WinUsbStandin& self = owner();
    (out ? self.writes : self.reads).push_back({pipe_id, length, overlapped != nullptr});
    StandinFile* file = state().file_of_interface(interface_handle);
    if (file == nullptr) {
        return fail_with(ERROR_INVALID_HANDLE);
    }
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (overlapped == nullptr) {
        return fail_with(ERROR_INVALID_PARAMETER);  // only overlapped use is modelled
    }
    StandinPipe& pipe = state().pipe(*file, pipe_id);
    if (pipe.stage == StandinPipe::Stage::pending) {
        return fail_with(ERROR_INVALID_PARAMETER);  // that OVERLAPPED is still in use
    }
    if (self.faults.next_start_error) {
        const DWORD error = *self.faults.next_start_error;
        self.faults.next_start_error.reset();
        return fail_with(error);
    }
    if (overlapped->hEvent != nullptr) {
        ::ResetEvent(overlapped->hEvent);
    }
    const bool started =
        out ? state().bus.start_write(file->device, pipe.bus_pipe, {buffer, length})
            : state().bus.start_read(file->device, pipe.bus_pipe, {buffer, length});
    if (!started) {
        return fail_with(ERROR_GEN_FAILURE);
    }
    pipe.stage = StandinPipe::Stage::pending;
    pipe.overlapped = overlapped;
    pipe.event = overlapped->hEvent;
    if (self.faults.complete_at_start && state().bus.wait(file->device, pipe.bus_pipe, 0)) {
        ++self.transfers_completed_at_start;
        state().end_transfer(*file, pipe);
        if (!pipe.ok) {
            return fail_with(pipe.error);
        }
        if (transferred != nullptr) {
            *transferred = pipe.bytes;
        }
        return succeed();
    }
    return fail_with(ERROR_IO_PENDING);
}

BOOL WINAPI StandinTransferCalls::WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE interface_handle,
                                                   UCHAR pipe_id, PUCHAR buffer, ULONG length,
                                                   PULONG transferred, LPOVERLAPPED overlapped) {
    return start_transfer(interface_handle, pipe_id, buffer, length, transferred, overlapped, true);
}

BOOL WINAPI StandinTransferCalls::WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE interface_handle,
                                                  UCHAR pipe_id, PUCHAR buffer, ULONG length,
                                                  PULONG transferred, LPOVERLAPPED overlapped) {
    return start_transfer(interface_handle, pipe_id, buffer, length, transferred, overlapped,
                          false);
}

BOOL WINAPI StandinTransferCalls::WinUsb_GetOverlappedResult(
    WINUSB_INTERFACE_HANDLE interface_handle, LPOVERLAPPED overlapped, LPDWORD transferred,
    BOOL wait) {
    StandinFile* file = state().file_of_interface(interface_handle);
    if (file == nullptr || transferred == nullptr) {
        return fail_with(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    }
    *transferred = 0;
    StandinPipe* pipe = nullptr;
    for (auto& [id, candidate] : file->pipes) {
        if (candidate->overlapped == overlapped && candidate->stage != StandinPipe::Stage::idle) {
            pipe = candidate.get();
        }
    }
    if (pipe == nullptr) {
        return fail_with(ERROR_INVALID_PARAMETER);
    }
    if (pipe->stage == StandinPipe::Stage::pending) {
        constexpr std::uint32_t LONG_WAIT_MS = 60'000;
        if (!state().bus.wait(file->device, pipe->bus_pipe, wait ? LONG_WAIT_MS : 0)) {
            return fail_with(ERROR_IO_INCOMPLETE);
        }
        state().end_transfer(*file, *pipe);
    }
    if (!pipe->ok) {
        return fail_with(pipe->error);
    }
    *transferred = pipe->bytes + owner().faults.overstated_count;
    return succeed();
}

BOOL WINAPI StandinTransferCalls::WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE interface_handle,
                                                   UCHAR pipe_id) {
    owner().aborts.push_back(pipe_id);
    owner().releases.push_back(pipe_label("WinUsb_AbortPipe", pipe_id));
    StandinFile* file = state().file_of_interface(interface_handle);
    if (file == nullptr) {
        return fail_with(ERROR_INVALID_HANDLE);
    }
    StandinPipe& pipe = state().pipe(*file, pipe_id);
    if (pipe.stage != StandinPipe::Stage::pending) {
        return succeed();
    }
    if (state().bus.wait(file->device, pipe.bus_pipe, 0)) {
        state().end_transfer(*file, pipe);  // it ended before the abort reached it
        return succeed();
    }
    state().bus.abort(file->device, pipe.bus_pipe);
    if (!owner().faults.abort_never_completes) {
        pipe.stage = StandinPipe::Stage::ended;
        pipe.ok = false;
        pipe.bytes = 0;
        pipe.error = ERROR_OPERATION_ABORTED;
        if (pipe.event != nullptr) {
            ::SetEvent(pipe.event);
        }
    }
    return succeed();
}

#endif  // _WIN32
