// The GUID parser over arbitrary text.
#include <string>

#include "device/usb.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Guid guid;
    guid.data1 = 0xDEADBEEF;
    const int result = _parse_guid(text.c_str(), &guid);
    if (result > 0 || result < -9 || (result != 0 && guid.data1 != 0xDEADBEEF)) {
        __builtin_trap();
    }
    return 0;
}
