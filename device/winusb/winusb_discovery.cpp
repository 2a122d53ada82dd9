// The present interfaces of one device interface class, through SetupAPI.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "device/diagnostics.h"
#include "device/winusb/winusb_backend.h"

namespace {

GUID windows_guid(const Guid& guid) {
    GUID converted;
    converted.Data1 = guid.data1;
    converted.Data2 = guid.data2;
    converted.Data3 = guid.data3;
    std::memcpy(converted.Data4, guid.data4, sizeof converted.Data4);
    return converted;
}

// Destroys the device information set when enumeration ends, whichever way.
class DeviceInfoSet {
  public:
    DeviceInfoSet(const WinUsbApi& api, HDEVINFO set) : api_(api), set_(set) {}
    ~DeviceInfoSet() { api_.SetupDiDestroyDeviceInfoList(set_); }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

  private:
    const WinUsbApi& api_;
    HDEVINFO set_;
};

// An interface path is a few hundred characters; a size far beyond that is
// not worth allocating.
constexpr DWORD DETAIL_SIZE_LIMIT = 64 * 1024;

}  // namespace

void WinUsbBackend::list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) {
    const GUID class_guid = windows_guid(interface_class);
    HDEVINFO set = api_.SetupDiGetClassDevsA(&class_guid, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        usb_diagnostic("SetupDiGetClassDevs error");
        return;
    }
    const DeviceInfoSet owned_set(api_, set);
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    for (DWORD member = 0;
         api_.SetupDiEnumDeviceInterfaces(set, nullptr, &class_guid, member, &interface_data);
         ++member) {
        if (!append_interface_path(set, interface_data, paths)) {
            return;
        }
    }
}

bool WinUsbBackend::append_interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interface_data,
                                          std::vector<std::string>& paths) {
    DWORD required = 0;
    if (!api_.SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required,
                                               nullptr) &&
        api_.GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        usb_diagnostic("SetupDiGetDeviceInterfaceDetail error 1");
        return false;
    }
    if (required > DETAIL_SIZE_LIMIT) {
        return true;  // like an interface that cannot be opened: skipped
    }
    // Room for at least the fixed part, whose cbSize is set below; DWORDs keep
    // the structure aligned.
    const DWORD detail_size = std::max<DWORD>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    const std::size_t words = (detail_size + sizeof(DWORD) - 1) / sizeof(DWORD);
    const std::unique_ptr<DWORD[]> storage(new (std::nothrow) DWORD[words]());
    if (storage == nullptr) {
        return true;
    }
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device_info{};
    device_info.cbSize = sizeof device_info;
    if (!api_.SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, detail_size, nullptr,
                                               &device_info)) {
        return false;
    }
    // The path ends at its NUL or at the end of the buffer, whichever comes first.
    const std::size_t path_room =
        detail_size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    paths.emplace_back(detail->DevicePath, strnlen(detail->DevicePath, path_room));
    return true;
}
