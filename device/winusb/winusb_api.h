#pragma once
// Every Win32, SetupAPI and WinUSB function the WinUSB backend calls, as one
// table of function pointers. The shipped program fills it with the system's
// functions; tests fill it with a stand-in that drives a simulated instrument,
// so the backend's own code runs unchanged against both.
// device/usb.h before the USB headers, which define its descriptor type names
// as macros of the same values.
#include "device/usb.h"
// windows.h before the SetupAPI and WinUSB headers, which rely on its types.
#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

struct WinUsbApi {
    // Kernel services.
    HANDLE(WINAPI* CreateFileA)
    (LPCSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security, DWORD creation,
     DWORD flags, HANDLE template_file);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);
    HANDLE(WINAPI* CreateEventA)
    (LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL initial_state, LPCSTR name);
    DWORD(WINAPI* WaitForSingleObject)(HANDLE handle, DWORD timeout_ms);
    DWORD(WINAPI* GetLastError)();
    void(WINAPI* SetLastError)(DWORD error);

    // SetupAPI: the present interfaces of one device interface class.
    HDEVINFO(WINAPI* SetupDiGetClassDevsA)
    (const GUID* class_guid, PCSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* SetupDiEnumDeviceInterfaces)
    (HDEVINFO set, PSP_DEVINFO_DATA device_info, const GUID* class_guid, DWORD member_index,
     PSP_DEVICE_INTERFACE_DATA interface_data);
    BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA)
    (HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interface_data,
     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size, PDWORD required_size,
     PSP_DEVINFO_DATA device_info);
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO set);

    // WinUSB.
    BOOL(WINAPI* WinUsb_Initialize)(HANDLE file, PWINUSB_INTERFACE_HANDLE interface_handle);
    BOOL(WINAPI* WinUsb_Free)(WINUSB_INTERFACE_HANDLE interface_handle);
    BOOL(WINAPI* WinUsb_GetDescriptor)
    (WINUSB_INTERFACE_HANDLE interface_handle, UCHAR type, UCHAR index, USHORT language_id,
     PUCHAR buffer, ULONG buffer_length, PULONG transferred);
    BOOL(WINAPI* WinUsb_GetPipePolicy)
    (WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id, ULONG policy, PULONG value_length,
     PVOID value);
    BOOL(WINAPI* WinUsb_SetPipePolicy)
    (WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id, ULONG policy, ULONG value_length,
     PVOID value);
    BOOL(WINAPI* WinUsb_ControlTransfer)
    (WINUSB_INTERFACE_HANDLE interface_handle, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
     ULONG buffer_length, PULONG transferred, LPOVERLAPPED overlapped);
    BOOL(WINAPI* WinUsb_WritePipe)
    (WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id, PUCHAR buffer, ULONG buffer_length,
     PULONG transferred, LPOVERLAPPED overlapped);
    BOOL(WINAPI* WinUsb_ReadPipe)
    (WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id, PUCHAR buffer, ULONG buffer_length,
     PULONG transferred, LPOVERLAPPED overlapped);
    BOOL(WINAPI* WinUsb_GetOverlappedResult)
    (WINUSB_INTERFACE_HANDLE interface_handle, LPOVERLAPPED overlapped, LPDWORD transferred,
     BOOL wait);
    BOOL(WINAPI* WinUsb_AbortPipe)(WINUSB_INTERFACE_HANDLE interface_handle, UCHAR pipe_id);
};

// The system's own functions.
const WinUsbApi& winusb_system_api();
