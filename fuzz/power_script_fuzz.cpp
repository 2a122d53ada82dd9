// The power-supply script player over arbitrary scripts and device replies.
#include "board/power_config.h"
#include "device/clock.h"
#include "fuzz/fuzz_backend.h"

namespace {

// Pauses of send-only commands cost nothing here.
class NoWaitClock final : public Clock {
public:
    std::uint64_t now_ms() override { return now_; }
    void sleep_ms(std::uint32_t milliseconds) override { now_ += milliseconds; }

private:
    std::uint64_t now_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::size_t script_length = input.word() % 2048;
    const std::vector<std::uint8_t> script = input.bytes(script_length);
    FuzzBackend backend(input);
    NoWaitClock clock;
    usb_install_backend(&backend);
    clock_install(&clock);

    UsbDevice device;
    DeviceContext context;
    device.context = &context;
    const int failures = power_config_program(&device, 0x34, script.empty() ? nullptr : script.data(),
                                              static_cast<int>(script.size()), 124, 125);
    if (failures < 0 || static_cast<std::size_t>(failures) > script.size() / 3) {
        __builtin_trap();
    }
    clock_install(nullptr);
    usb_install_backend(nullptr);
    return 0;
}
