#ifdef _WIN32
#include "support/winusb_standin.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <span>

namespace {

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

WinUsbStandin* live = nullptr;

Guid core_guid(const GUID& guid) {
    Guid converted;
    converted.data1 = guid.Data1;
    converted.data2 = guid.Data2;
    converted.data3 = guid.Data3;
    std::memcpy(converted.data4, guid.Data4, sizeof converted.data4);
    return converted;
}

bool same_guid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string pipe_label(const char* what, UCHAR pipe_id) {
    char label[64];
    std::snprintf(label, sizeof label, "%s 0x%02X", what, static_cast<unsigned>(pipe_id));
    return label;
}

BOOL fail_with(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

BOOL succeed() {
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

}  // namespace

struct WinUsbStandin::State {
    explicit State(sim::SimBackend& bus_in) : bus(bus_in) {}

    sim::SimBackend& bus;
    WinUsbApi api{};
    std::vector<std::unique_ptr<StandinFile>> files;
    std::vector<std::unique_ptr<StandinInterface>> interfaces;
    std::vector<std::unique_ptr<StandinDeviceInfoSet>> sets;
    std::vector<HANDLE> events;

    StandinFile* file_of_interface(WINUSB_INTERFACE_HANDLE handle) {
        StandinInterface* found = find_owned(interfaces, handle);
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
        erase_owned(files, &file);
    }
};

// The table's entry points.
struct StandinCalls {
    static WinUsbStandin& owner() { return *live; }
    static WinUsbStandin::State& state() { return *live->state_; }

    // ---- kernel ----

    static HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share_mode,
                                     LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                                     HANDLE template_file) {
        owner().create_file_calls.push_back({path != nullptr ? path : "", access, share_mode,
                                             security == nullptr, creation, flags,
                                             template_file == nullptr});
        if (path == nullptr) {
            fail_with(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        auto file = std::make_unique<StandinFile>();
        file->path = path;
        file->device.path = file->path.data();
        file->overlapped_io = (flags & FILE_FLAG_OVERLAPPED) != 0;
        if (state().bus.open(file->device) != 0) {
            std::vector<std::string> present;
            state().bus.list_interfaces(sim::INSTRUMENT_INTERFACE_CLASS, present);
            const bool listed =
                std::find(present.begin(), present.end(), file->path) != present.end();
            // Present but refused: another program holds it.
            fail_with(listed ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        state().files.push_back(std::move(file));
        succeed();
        return state().files.back().get();
    }

    static BOOL WINAPI CloseHandle(HANDLE handle) {
        if (StandinFile* file = find_owned(state().files, handle)) {
            owner().releases.push_back("CloseHandle file");
            state().close_file(*file);
            return succeed();
        }
        auto& events = state().events;
        const auto event = std::find(events.begin(), events.end(), handle);
        if (event == events.end()) {
            return fail_with(ERROR_INVALID_HANDLE);
        }
        std::string label = "CloseHandle event";
        for (auto& file : state().files) {
            for (auto& [id, pipe] : file->pipes) {
                if (pipe->event == handle) {
                    label = pipe_label("CloseHandle event", id);
                    pipe->event = nullptr;
                }
            }
        }
        owner().releases.push_back(label);
        events.erase(event);
        return ::CloseHandle(handle);
    }

    static HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual_reset,
                                      BOOL initial_state, LPCSTR name) {
        owner().event_calls.push_back(
            {security == nullptr, manual_reset, initial_state, name == nullptr});
        if (owner().faults.create_event_fail) {
            fail_with(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        HANDLE event = ::CreateEventA(security, manual_reset, initial_state, name);
        if (event != nullptr) {
            state().events.push_back(event);
        }
        return event;
    }

    static DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD timeout_ms) {
        sim::VirtualClock& clock = state().bus.clock();
        const std::uint64_t deadline_us = clock.now_us() + std::uint64_t{timeout_ms} * 1000;
        StandinFile* file = nullptr;
        if (StandinPipe* pipe = state().pending_pipe_with_event(handle, &file)) {
            if (state().bus.wait(file->device, pipe->bus_pipe, timeout_ms)) {
                state().end_transfer(*file, *pipe);
            }
        }
        const DWORD seen = ::WaitForSingleObject(handle, 0);
        if (seen == WAIT_TIMEOUT) {
            clock.advance_to_us(deadline_us);  // the whole timeout passed
        }
        return seen;
    }

    // ---- SetupAPI ----

    static HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* class_guid, PCSTR enumerator,
                                                HWND parent, DWORD flags) {
        owner().class_devs_calls.push_back({class_guid != nullptr ? *class_guid : GUID{},
                                            enumerator == nullptr, parent == nullptr, flags});
        if (owner().faults.class_devs_fail || class_guid == nullptr) {
            fail_with(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        auto set = std::make_unique<StandinDeviceInfoSet>();
        set->class_guid = *class_guid;
        if ((flags & DIGCF_DEVICEINTERFACE) != 0) {
            state().bus.list_interfaces(core_guid(*class_guid), set->paths);
        }
        state().sets.push_back(std::move(set));
        succeed();
        return state().sets.back().get();
    }

    static BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set_handle, PSP_DEVINFO_DATA,
                                                   const GUID* class_guid, DWORD member_index,
                                                   PSP_DEVICE_INTERFACE_DATA interface_data) {
        StandinDeviceInfoSet* set = find_owned(state().sets, set_handle);
        if (set == nullptr) {
            return fail_with(ERROR_INVALID_HANDLE);
        }
        if (interface_data == nullptr || interface_data->cbSize != sizeof *interface_data) {
            return fail_with(ERROR_INVALID_USER_BUFFER);
        }
        if (class_guid == nullptr || !same_guid(*class_guid, set->class_guid) ||
            member_index >= set->paths.size()) {
            return fail_with(ERROR_NO_MORE_ITEMS);
        }
        interface_data->InterfaceClassGuid = set->class_guid;
        interface_data->Flags = SPINT_ACTIVE;
        interface_data->Reserved = ULONG_PTR{member_index} + 1;
        return succeed();
    }

    static BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO set_handle,
                                                        PSP_DEVICE_INTERFACE_DATA interface_data,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                        DWORD detail_size, PDWORD required_size,
                                                        PSP_DEVINFO_DATA device_info) {
        StandinDeviceInfoSet* set = find_owned(state().sets, set_handle);
        if (set == nullptr) {
            return fail_with(ERROR_INVALID_HANDLE);
        }
        if (interface_data == nullptr || interface_data->cbSize != sizeof *interface_data ||
            interface_data->Reserved == 0 || interface_data->Reserved > set->paths.size()) {
            return fail_with(ERROR_INVALID_PARAMETER);
        }
        const DWORD member = static_cast<DWORD>(interface_data->Reserved - 1);
        const std::string& path = set->paths[member];
        const DWORD needed = static_cast<DWORD>(
            offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
        if (required_size != nullptr) {
            *required_size = needed;
        }
        const WinUsbStandin::Faults& faults = owner().faults;
        if (detail == nullptr) {
            if (faults.detail_size_fail_at == member) {
                return fail_with(faults.detail_size_error);
            }
            return fail_with(detail_size != 0 ? ERROR_INVALID_USER_BUFFER
                                              : ERROR_INSUFFICIENT_BUFFER);
        }
        if (faults.detail_fail_at == member) {
            return fail_with(ERROR_GEN_FAILURE);
        }
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
            (device_info != nullptr && device_info->cbSize != sizeof *device_info)) {
            return fail_with(ERROR_INVALID_USER_BUFFER);
        }
        if (detail_size < needed) {
            return fail_with(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
        if (device_info != nullptr) {
            device_info->ClassGuid = GUID{};
            device_info->DevInst = member + 1;
        }
        return succeed();
    }

    static BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set_handle) {
        if (find_owned(state().sets, set_handle) == nullptr) {
            return fail_with(ERROR_INVALID_HANDLE);
        }
        erase_owned(state().sets, set_handle);
        return succeed();
    }

    // ---- WinUSB ----

    static BOOL WINAPI WinUsb_Initialize(HANDLE file_handle,
                                         PWINUSB_INTERFACE_HANDLE interface_handle) {
        StandinFile* file = find_owned(state().files, file_handle);
        if (file == nullptr) {
            return fail_with(ERROR_INVALID_HANDLE);
        }
        // WinUSB works only on handles opened for overlapped I/O.
        if (interface_handle == nullptr || !file->overlapped_io) {
            return fail_with(ERROR_INVALID_PARAMETER);
        }
        if (owner().faults.initialize_fail) {
            return fail_with(ERROR_NOT_SUPPORTED);
        }
        auto opened = std::make_unique<StandinInterface>();
        opened->file = file;
        *interface_handle = opened.get();
        state().interfaces.push_back(std::move(opened));
        return succeed();
    }

    static BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE interface_handle) {
        if (find_owned(state().interfaces, interface_handle) == nullptr) {
            return fail_with(ERROR_INVALID_HANDLE);
        }
        owner().releases.push_back("WinUsb_Free");
        erase_owned(state().interfaces, interface_handle);
        return succeed();
    }

    static BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR type,
                                            UCHAR index, USHORT language_id, PUCHAR buffer,
                                            ULONG buffer_length, PULONG transferred) {
        owner().descriptor_calls.push_back({type, index, language_id, buffer_length});
        StandinFile* file = state().file_of_interface(interface_handle);
        if (file == nullptr) {
            return fail_with(ERROR_INVALID_HANDLE);
        }
        *transferred = 0;
        const int got =
            state().bus.get_descriptor(file->device, type, index, {buffer, buffer_length});
        if (got < 0) {
            return fail_with(ERROR_GEN_FAILURE);
        }
        *transferred = static_cast<ULONG>(got) + owner().faults.overstated_count;
        return succeed();
    }

    static BOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                            ULONG policy, PULONG value_length, PVOID value) {
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

    static BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                            ULONG policy, ULONG value_length, PVOID value) {
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

    static BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE interface_handle,
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
        // The bus reports a failed request as nothing moved.
        if (got <= 0 && setup.Length != 0) {
            return fail_with(ERROR_GEN_FAILURE);
        }
        *transferred = static_cast<ULONG>(std::max(got, 0)) + owner().faults.overstated_count;
        return succeed();
    }

    static BOOL start_transfer(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
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

    static BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                        PUCHAR buffer, ULONG length, PULONG transferred,
                                        LPOVERLAPPED overlapped) {
        return start_transfer(interface_handle, pipe_id, buffer, length, transferred, overlapped,
                              true);
    }

    static BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                       PUCHAR buffer, ULONG length, PULONG transferred,
                                       LPOVERLAPPED overlapped) {
        return start_transfer(interface_handle, pipe_id, buffer, length, transferred, overlapped,
                              false);
    }

    static BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE interface_handle,
                                                  LPOVERLAPPED overlapped, LPDWORD transferred,
                                                  BOOL wait) {
        StandinFile* file = state().file_of_interface(interface_handle);
        if (file == nullptr || transferred == nullptr) {
            return fail_with(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        }
        *transferred = 0;
        StandinPipe* pipe = nullptr;
        for (auto& [id, candidate] : file->pipes) {
            if (candidate->overlapped == overlapped &&
                candidate->stage != StandinPipe::Stage::idle) {
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

    static BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id) {
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

    static WinUsbApi table() {
        return {
            .CreateFileA = CreateFileA,
            .CloseHandle = CloseHandle,
            .CreateEventA = CreateEventA,
            .WaitForSingleObject = WaitForSingleObject,
            .GetLastError = ::GetLastError,
            .SetLastError = ::SetLastError,
            .SetupDiGetClassDevsA = SetupDiGetClassDevsA,
            .SetupDiEnumDeviceInterfaces = SetupDiEnumDeviceInterfaces,
            .SetupDiGetDeviceInterfaceDetailA = SetupDiGetDeviceInterfaceDetailA,
            .SetupDiDestroyDeviceInfoList = SetupDiDestroyDeviceInfoList,
            .WinUsb_Initialize = WinUsb_Initialize,
            .WinUsb_Free = WinUsb_Free,
            .WinUsb_GetDescriptor = WinUsb_GetDescriptor,
            .WinUsb_GetPipePolicy = WinUsb_GetPipePolicy,
            .WinUsb_SetPipePolicy = WinUsb_SetPipePolicy,
            .WinUsb_ControlTransfer = WinUsb_ControlTransfer,
            .WinUsb_WritePipe = WinUsb_WritePipe,
            .WinUsb_ReadPipe = WinUsb_ReadPipe,
            .WinUsb_GetOverlappedResult = WinUsb_GetOverlappedResult,
            .WinUsb_AbortPipe = WinUsb_AbortPipe,
        };
    }
};

WinUsbStandin::WinUsbStandin(sim::SimBackend& bus) : state_(std::make_unique<State>(bus)) {
    state_->api = StandinCalls::table();
    live = this;
}

WinUsbStandin::~WinUsbStandin() {
    while (!state_->files.empty()) {
        state_->close_file(*state_->files.back());
    }
    for (HANDLE event : state_->events) {
        ::CloseHandle(event);
    }
    if (live == this) {
        live = nullptr;
    }
}

const WinUsbApi& WinUsbStandin::api() const {
    return state_->api;
}

int WinUsbStandin::open_files() const {
    return static_cast<int>(state_->files.size());
}

int WinUsbStandin::open_interfaces() const {
    return static_cast<int>(state_->interfaces.size());
}

int WinUsbStandin::open_events() const {
    return static_cast<int>(state_->events.size());
}

int WinUsbStandin::open_device_info_sets() const {
    return static_cast<int>(state_->sets.size());
}

#endif  // _WIN32
