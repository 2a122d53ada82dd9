#pragma once
// What the stand-in's entry points share: its open files, interfaces, device
// information sets and events, the pipes each file has used, and the helpers
// that report a call's result through the thread's last-error value.
#ifdef _WIN32
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/winusb_standin.h"

// A transfer runs on this pipe of the bus; the stand-in keeps what the
// OVERLAPPED would tell once it has ended.
struct StandinPipe {
    enum class Stage { idle, pending, ended };
    PipeState bus_pipe;
    Stage stage = Stage::idle;
    LPOVERLAPPED overlapped = nullptr;  // compared, never followed after the start
    HANDLE event = nullptr;
    bool ok = false;
    DWORD bytes = 0;
    DWORD error = ERROR_SUCCESS;
    std::map<ULONG, std::vector<UCHAR>> policies;
};

// A file opened on an interface path: the bus's device record behind it.
struct StandinFile {
    std::string path;
    UsbDevice device;
    bool overlapped_io = false;
    std::map<UCHAR, std::unique_ptr<StandinPipe>> pipes;
};

struct StandinInterface {
    StandinFile* file = nullptr;  // null once the file is closed
};

struct StandinDeviceInfoSet {
    GUID class_guid{};
    std::vector<std::string> paths;
};

namespace winusb_standin {

// The stand-in the table's functions reach.
inline WinUsbStandin* live = nullptr;

inline std::string pipe_label(const char* what, UCHAR pipe_id) {
    char label[64];
    std::snprintf(label, sizeof label, "%s 0x%02X", what, static_cast<unsigned>(pipe_id));
    return label;
}

inline BOOL fail_with(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

inline BOOL succeed() {
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

template <typename Owned>
Owned* find_owned(std::vector<std::unique_ptr<Owned>>& owned, const void* handle) {
    for (auto& entry : owned) {
        if (entry.get() == handle) {
            return entry.get();
        }
    }
    return nullptr;
}

template <typename Owned>
void erase_owned(std::vector<std::unique_ptr<Owned>>& owned, const void* handle) {
    std::erase_if(owned, [handle](const auto& entry) { return entry.get() == handle; });
}

}  // namespace winusb_standin

struct WinUsbStandin::State {
    explicit State(sim::SimBackend& bus_in) : bus(bus_in) {}

    sim::SimBackend& bus;
    WinUsbApi api{};
    std::vector<std::unique_ptr<StandinFile>> files;
    std::vector<std::unique_ptr<StandinInterface>> interfaces;
    std::vector<std::unique_ptr<StandinDeviceInfoSet>> sets;
    std::vector<HANDLE> events;

    StandinFile* file_of_interface(WINUSB_INTERFACE_HANDLE handle) {
        StandinInterface* found = winusb_standin::find_owned(interfaces, handle);
        return found != nullptr ? found->file : nullptr;
    }

    StandinPipe& pipe(StandinFile& file, UCHAR pipe_id) {
        auto& entry = file.pipes[pipe_id];
        if (entry == nullptr) {
            entry = std::make_unique<StandinPipe>();
            entry->bus_pipe.endpoint_address = pipe_id;
            bus.open_pipe(file.device, entry->bus_pipe, (pipe_id & 0x80) == 0);
        }
        return *entry;
    }

    StandinPipe* pending_pipe_with_event(HANDLE event, StandinFile** owner) {
        for (auto& file : files) {
            for (auto& [id, pipe] : file->pipes) {
                if (pipe->stage == StandinPipe::Stage::pending && pipe->event == event) {
                    *owner = file.get();
                    return pipe.get();
                }
            }
        }
        return nullptr;
    }

    // The transfer has ended on the bus: its result, and the event set.
    void end_transfer(StandinFile& file, StandinPipe& pipe) {
        int count = 0;
        pipe.ok = bus.finish(file.device, pipe.bus_pipe, &count);
        pipe.bytes = pipe.ok ? static_cast<DWORD>(count) : 0;
        pipe.error = pipe.ok ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
        pipe.stage = StandinPipe::Stage::ended;
        if (pipe.event != nullptr) {
            ::SetEvent(pipe.event);
        }
    }

    void close_file(StandinFile& file) {
        for (auto& [id, pipe] : file.pipes) {
            bus.close_pipe(file.device, pipe->bus_pipe);
        }
        bus.close(file.device);
        for (auto& interface_entry : interfaces) {
            if (interface_entry->file == &file) {
                interface_entry->file = nullptr;
            }
        }
        winusb_standin::erase_owned(files, &file);
    }
};

// The table's WinUSB transfer entry points: descriptors, pipe policies,
// control transfers, pipe reads and writes, their results and aborts.
struct StandinTransferCalls {
    static WinUsbStandin& owner() { return *winusb_standin::live; }
    static WinUsbStandin::State& state() { return *winusb_standin::live->state_; }

    static BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR type,
                                            UCHAR index, USHORT language_id, PUCHAR buffer,
                                            ULONG buffer_length, PULONG transferred);
    static BOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                            ULONG policy, PULONG value_length, PVOID value);
    static BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                            ULONG policy, ULONG value_length, PVOID value);
    static BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE interface_handle,
                                              WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                              ULONG buffer_length, PULONG transferred,
                                              LPOVERLAPPED overlapped);
    static BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                        PUCHAR buffer, ULONG length, PULONG transferred,
                                        LPOVERLAPPED overlapped);
    static BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                       PUCHAR buffer, ULONG length, PULONG transferred,
                                       LPOVERLAPPED overlapped);
    static BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE interface_handle,
                                                  LPOVERLAPPED overlapped, LPDWORD transferred,
                                                  BOOL wait);
    static BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id);

  private:
    // A write (out) or a read started on the pipe, overlapped.
    static BOOL start_transfer(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                               PUCHAR buffer, ULONG length, PULONG transferred,
                               LPOVERLAPPED overlapped, bool out);
};

#endif  // _WIN32
