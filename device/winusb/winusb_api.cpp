#include "device/winusb/winusb_api.h"

const WinUsbApi& winusb_system_api() {
    static const WinUsbApi api = {
        .CreateFileA = ::CreateFileA,
        .CloseHandle = ::CloseHandle,
        .CreateEventA = ::CreateEventA,
        .WaitForSingleObject = ::WaitForSingleObject,
        .GetLastError = ::GetLastError,
        .SetLastError = ::SetLastError,
        .SetupDiGetClassDevsA = ::SetupDiGetClassDevsA,
        .SetupDiEnumDeviceInterfaces = ::SetupDiEnumDeviceInterfaces,
        .SetupDiGetDeviceInterfaceDetailA = ::SetupDiGetDeviceInterfaceDetailA,
        .SetupDiDestroyDeviceInfoList = ::SetupDiDestroyDeviceInfoList,
        .WinUsb_Initialize = ::WinUsb_Initialize,
        .WinUsb_Free = ::WinUsb_Free,
        .WinUsb_GetDescriptor = ::WinUsb_GetDescriptor,
        .WinUsb_GetPipePolicy = ::WinUsb_GetPipePolicy,
        .WinUsb_SetPipePolicy = ::WinUsb_SetPipePolicy,
        .WinUsb_ControlTransfer = ::WinUsb_ControlTransfer,
        .WinUsb_WritePipe = ::WinUsb_WritePipe,
        .WinUsb_ReadPipe = ::WinUsb_ReadPipe,
        .WinUsb_GetOverlappedResult = ::WinUsb_GetOverlappedResult,
        .WinUsb_AbortPipe = ::WinUsb_AbortPipe,
    };
    return api;
}
