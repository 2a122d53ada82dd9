#ifdef _WIN32
#include "support/winusb_standin.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/winusb_standin_state.h"

using namespace winusb_standin;

namespace {

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

}  // namespace

// The table's kernel, SetupAPI and interface entry points, and the table.
struct StandinSystemCalls {
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
            .WinUsb_GetDescriptor = StandinTransferCalls::WinUsb_GetDescriptor,
            .WinUsb_GetPipePolicy = StandinTransferCalls::WinUsb_GetPipePolicy,
            .WinUsb_SetPipePolicy = StandinTransferCalls::WinUsb_SetPipePolicy,
            .WinUsb_ControlTransfer = StandinTransferCalls::WinUsb_ControlTransfer,
            .WinUsb_WritePipe = StandinTransferCalls::WinUsb_WritePipe,
            .WinUsb_ReadPipe = StandinTransferCalls::WinUsb_ReadPipe,
            .WinUsb_GetOverlappedResult = StandinTransferCalls::WinUsb_GetOverlappedResult,
            .WinUsb_AbortPipe = StandinTransferCalls::WinUsb_AbortPipe,
        };
    }
};

WinUsbStandin::WinUsbStandin(sim::SimBackend& bus) : state_(std::make_unique<State>(bus)) {
    state_->api = StandinSystemCalls::table();
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
