// Opening, pipes and transfers over WinUSB.
#include "device/winusb/winusb_backend.h"

#include <algorithm>
#include <new>

#include "device/winusb/winusb_context.h"

using winusb::DeviceHandles;
using winusb::handles_of;
using winusb::PipeTransfer;
using winusb::transfer_of;

namespace {

template <typename Count>
int bounded_count(Count reported, std::size_t limit) {
    return static_cast<int>(std::min<std::size_t>(reported, limit));
}

}  // namespace

int WinUsbBackend::open(UsbDevice& device) {
    device.context = nullptr;
    if (device.path == nullptr) {
        return USB_OPEN_FAILED;
    }
    HANDLE file = api_.CreateFileA(device.path, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // WinUSB gives the device to one handle at a time: while another
        // program holds it, the file is refused with ERROR_ACCESS_DENIED.
        return api_.GetLastError() == ERROR_ACCESS_DENIED ? USB_OPEN_HELD : USB_OPEN_FAILED;
    }
    WINUSB_INTERFACE_HANDLE interface_handle = nullptr;
    if (!api_.WinUsb_Initialize(file, &interface_handle)) {
        api_.CloseHandle(file);
        return USB_OPEN_HELD;
    }
    auto* handles = new (std::nothrow) DeviceHandles(api_, file, interface_handle);
    if (handles == nullptr) {
        api_.WinUsb_Free(interface_handle);
        api_.CloseHandle(file);
        return USB_OPEN_FAILED;
    }
    device.context = reinterpret_cast<DeviceContext*>(handles);
    return USB_OPEN_OK;
}

void WinUsbBackend::close(UsbDevice& device) {
    delete handles_of(device);
    device.context = nullptr;
}

int WinUsbBackend::get_descriptor(UsbDevice& device, std::uint8_t type, std::uint8_t index,
                                  std::span<std::uint8_t> buffer) {
    const DeviceHandles* handles = handles_of(device);
    if (handles == nullptr) {
        return -1;
    }
    ULONG got = 0;
    if (!api_.WinUsb_GetDescriptor(handles->interface_handle(), type, index, 0, buffer.data(),
                                   static_cast<ULONG>(buffer.size()), &got)) {
        return -1;
    }
    return bounded_count(got, buffer.size());
}

void WinUsbBackend::set_pipe_policy(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id,
                                    ULONG policy, UCHAR value) {
    api_.WinUsb_SetPipePolicy(interface_handle, pipe_id, policy, sizeof value, &value);
}

void WinUsbBackend::open_pipe(UsbDevice& device, PipeState& pipe, bool out) {
    pipe.context = nullptr;
    const DeviceHandles* handles = handles_of(device);
    if (handles == nullptr) {
        return;
    }
    auto* transfer = new (std::nothrow) PipeTransfer(api_);
    if (transfer == nullptr) {
        return;
    }
    transfer->overlapped.hEvent = api_.CreateEventA(nullptr, FALSE, FALSE, nullptr);
    pipe.context = reinterpret_cast<PipeContext*>(transfer);

    const UCHAR pipe_id = pipe.endpoint_address;
    ULONG max_transfer_size = 0;
    ULONG value_length = sizeof max_transfer_size;
    const bool read =
        api_.WinUsb_GetPipePolicy(handles->interface_handle(), pipe_id, MAXIMUM_TRANSFER_SIZE,
                                  &value_length, &max_transfer_size);
    pipe.max_transfer_size =
        read && value_length == sizeof max_transfer_size ? max_transfer_size : 0;
    // IN pipes keep the driver's defaults.
    if (out) {
        set_pipe_policy(handles->interface_handle(), pipe_id, AUTO_CLEAR_STALL, TRUE);
        set_pipe_policy(handles->interface_handle(), pipe_id, ALLOW_PARTIAL_READS, FALSE);
        set_pipe_policy(handles->interface_handle(), pipe_id, RAW_IO, TRUE);
    }
}

void WinUsbBackend::close_pipe(UsbDevice& device, PipeState& pipe) {
    PipeTransfer* transfer = transfer_of(pipe);
    if (transfer == nullptr) {
        return;
    }
    if (transfer->in_flight) {
        abort(device, pipe);
    }
    pipe.context = nullptr;
    // A transfer whose cancellation never came still owns the OVERLAPPED and
    // its event: leaking them is safe, freeing them is not.
    if (!transfer->in_flight) {
        delete transfer;
    }
}

int WinUsbBackend::control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                                    std::span<std::uint8_t> data) {
    const DeviceHandles* handles = handles_of(device);
    if (handles == nullptr) {
        return CONTROL_REQUEST_FAILED;
    }
    WINUSB_SETUP_PACKET packet;
    packet.RequestType = setup.request_type;
    packet.Request = setup.request;
    packet.Value = setup.value;
    packet.Index = setup.index;
    packet.Length = setup.length;
    ULONG transferred = 0;
    if (!api_.WinUsb_ControlTransfer(handles->interface_handle(), packet, data.data(),
                                     static_cast<ULONG>(data.size()), &transferred, nullptr)) {
        return CONTROL_REQUEST_FAILED;
    }
    return bounded_count(transferred, data.size());
}

bool WinUsbBackend::start_transfer(UsbDevice& device, PipeState& pipe, bool out, PUCHAR buffer,
                                   std::size_t length) {
    const DeviceHandles* handles = handles_of(device);
    PipeTransfer* transfer = transfer_of(pipe);
    if (transfer == nullptr) {
        api_.SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    transfer->restore_error = false;
    DWORD refused = ERROR_SUCCESS;
    if (handles == nullptr || transfer->overlapped.hEvent == nullptr) {
        refused = ERROR_INVALID_HANDLE;
    } else if (transfer->in_flight) {
        // The OVERLAPPED still belongs to an earlier transfer.
        refused = ERROR_BUSY;
    }
    if (refused != ERROR_SUCCESS) {
        api_.SetLastError(refused);
    } else {
        const ULONG buffer_length = static_cast<ULONG>(length);
        ULONG started = 0;
        const auto start = out ? api_.WinUsb_WritePipe : api_.WinUsb_ReadPipe;
        if (start(handles->interface_handle(), pipe.endpoint_address, buffer, buffer_length,
                  &started, &transfer->overlapped) ||
            api_.GetLastError() == ERROR_IO_PENDING) {
            // Completed at once or pending: either way the event reports it.
            transfer->in_flight = true;
            transfer->started_length = buffer_length;
            return true;
        }
    }
    transfer->start_error = api_.GetLastError();
    transfer->restore_error = true;
    return false;
}

bool WinUsbBackend::start_write(UsbDevice& device, PipeState& pipe,
                                std::span<const std::uint8_t> data) {
    // WinUSB takes a non-const buffer but only reads what it sends.
    return start_transfer(device, pipe, true, const_cast<PUCHAR>(data.data()), data.size());
}

bool WinUsbBackend::start_read(UsbDevice& device, PipeState& pipe, std::span<std::uint8_t> data) {
    return start_transfer(device, pipe, false, data.data(), data.size());
}

bool WinUsbBackend::wait(UsbDevice& /*device*/, PipeState& pipe, std::uint32_t timeout_ms) {
    const PipeTransfer* transfer = transfer_of(pipe);
    if (transfer == nullptr || transfer->overlapped.hEvent == nullptr) {
        return false;
    }
    return api_.WaitForSingleObject(transfer->overlapped.hEvent, timeout_ms) == WAIT_OBJECT_0;
}

bool WinUsbBackend::finish(UsbDevice& device, PipeState& pipe, int* transferred) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    const DeviceHandles* handles = handles_of(device);
    PipeTransfer* transfer = transfer_of(pipe);
    if (handles == nullptr || transfer == nullptr) {
        return false;
    }
    DWORD count = 0;
    const bool completed = api_.WinUsb_GetOverlappedResult(handles->interface_handle(),
                                                           &transfer->overlapped, &count, FALSE);
    if (!completed && api_.GetLastError() == ERROR_IO_INCOMPLETE) {
        return false;  // still in flight; the abort that follows settles it
    }
    transfer->in_flight = false;
    if (!completed) {
        return false;
    }
    if (transferred != nullptr) {
        *transferred = bounded_count(count, transfer->started_length);
    }
    return true;
}

void WinUsbBackend::abort(UsbDevice& device, PipeState& pipe) {
    const DeviceHandles* handles = handles_of(device);
    PipeTransfer* transfer = transfer_of(pipe);
    if (transfer == nullptr) {
        return;
    }
    if (handles != nullptr) {
        api_.WinUsb_AbortPipe(handles->interface_handle(), pipe.endpoint_address);
        // The cancelled transfer reports its end through the event; until it
        // has, the driver may still write into the OVERLAPPED.
        if (transfer->in_flight && transfer->overlapped.hEvent != nullptr &&
            api_.WaitForSingleObject(transfer->overlapped.hEvent, ABORT_SETTLE_TIMEOUT_MS) ==
                WAIT_OBJECT_0) {
            DWORD ignored = 0;
            if (api_.WinUsb_GetOverlappedResult(handles->interface_handle(), &transfer->overlapped,
                                                &ignored, FALSE) ||
                api_.GetLastError() != ERROR_IO_INCOMPLETE) {
                transfer->in_flight = false;
            }
        }
    }
    if (transfer->restore_error) {
        api_.SetLastError(transfer->start_error);
        transfer->restore_error = false;
    }
}
