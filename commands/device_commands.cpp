#include "commands/device_commands.h"

#include <atomic>
#include <memory>
#include <system_error>
#include <string>
#include <thread>

#include "board/controller_ram_load.h"
#include "images/images.h"
#include "window/window_port.h"
#include "instruments/device_list.h"
#include "window/log.h"
#include "device/clock.h"
#include "sequence/programming_worker.h"

namespace {

constexpr const char* BUSY_MESSAGE =
    "Another process is already active, please wait until it finishes.";
constexpr const char* NOT_FOUND_AFTER_RESTART =
    "Internal error - the device was not found after restarting. Please restart both the device "
    "and the utility and, if the problem persists, contact Talvenor AG for further assistance.";
constexpr const char* CANNOT_ACCESS =
    "The selected device can not be accessed, please try to terminate all other instances of "
    "this utility, unplug and reconnect the USB cable and refresh the device list. If the "
    "problem persists please contact Talvenor AG for further assistance.";
constexpr const char* WORKER_NOT_STARTED =
    "Internal error - the programming process could not be started. Please restart the utility "
    "and, if the problem persists, contact Talvenor AG for further assistance.";

constexpr const char* CONTROLLER_NOT_LOADED =
    "The USB controller did not take the firmware; nothing was written to it. Unplug and "
    "reconnect the USB cable and run recover again. If the problem persists please contact "
    "Talvenor AG for further assistance.";
constexpr const char* CONTROLLER_NOT_BACK =
    "The USB controller did not come back as an Ombrix instrument after its firmware was "
    "loaded; nothing was written to it. Power-cycle it and run recover again. If the problem "
    "persists please contact Talvenor AG for further assistance.";

constexpr int FPGA_REPLY_BYTES = 16;
constexpr int PMBUS_POWER_COMMAND = 0xDB;

// The last worker started: its thread and whether it has ended.
struct WorkerHandle {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;

    WorkerHandle() = default;
    WorkerHandle(const WorkerHandle&) = delete;
    WorkerHandle& operator=(const WorkerHandle&) = delete;
    WorkerHandle& operator=(WorkerHandle&&) = default;
    // The program may end while the worker runs, or before anyone joined it:
    // the worker then ends with the process instead of aborting it.
    ~WorkerHandle() {
        if (thread.joinable()) {
            thread.detach();
        }
    }
};
WorkerHandle worker;

bool worker_running() {
    return worker.ended && !worker.ended->load();
}

void drop_worker_handle() {
    if (worker.thread.joinable()) {
        worker.thread.join();  // it has ended: joining does not wait
    }
    worker = {};
}

bool refuse_when_busy() {
    if (!worker_running()) {
        return false;
    }
    window_port().message_box(BUSY_MESSAGE, MessageIcon::warning);
    return true;
}

void send_fpga_config(UsbDevice* device, int index) {
    std::uint8_t reply[FPGA_REPLY_BYTES] = {};
    int length = FPGA_REPLY_BYTES;
    usb_control_transfer(device, 0, VREQ_FPGA_CONFIG, 0, index, &length, reply);
}

void send_supply_power_commands(UsbDevice* device) {
    usb_control_transfer(device, 1, VREQ_BUS_TRANSFER, BUS_PMBUS_WRITE | BUS_ADDRESS_SUPPLY_A,
                         PMBUS_POWER_COMMAND, nullptr, nullptr);
    usb_control_transfer(device, 1, VREQ_BUS_TRANSFER, BUS_PMBUS_WRITE | BUS_ADDRESS_SUPPLY_B,
                         PMBUS_POWER_COMMAND, nullptr, nullptr);
}

void restart_instrument(UsbDevice* device) {
    window_port().log_set_text("");
    log_append("Restarting the device ... ");
    send_fpga_config(device, FPGA_CONFIG_HALT);
    send_supply_power_commands(device);
    usb_control_transfer(device, 1, VREQ_RESTART_1, 0, 0, nullptr, nullptr);
    usb_control_transfer(device, 1, VREQ_RESTART_2, 0, 0, nullptr, nullptr);
    usb_close_device(device);
}

// Waits for an instrument to appear at the remembered path; the listed device,
// or nullptr. The refresh reads each instrument's identification block, so a
// device listed there is an instrument of this kind.
UsbDevice* await_instrument_at_remembered_path() {
    const char* path = remembered_device_path().c_str();
    for (int refresh = 0; refresh < RESTART_REFRESHES; ++refresh) {
        if (device_list_refresh(path) != 0) {
            return listed_device(window_port().device_combo_selection());
        }
        clock_sleep_ms(RESTART_REFRESH_PAUSE_MS);
    }
    return nullptr;
}

// Waits for the instrument to leave the bus and to come back; the listed
// device it came back as, or nullptr.
UsbDevice* await_restarted_instrument() {
    const char* path = remembered_device_path().c_str();
    bool left = false;
    for (int refresh = 0; refresh < RESTART_REFRESHES && !left; ++refresh) {
        left = device_list_refresh(path) == 0;
        if (!left) {
            clock_sleep_ms(RESTART_REFRESH_PAUSE_MS);
        }
    }
    return left ? await_instrument_at_remembered_path() : nullptr;
}

// The carried firmware into the bare controller's RAM; false when it did not
// open or a request failed.
bool load_firmware_into(const char* path) {
    std::string path_copy = path;
    UsbDevice controller;
    controller.path = path_copy.data();
    if (usb_open_device(&controller, 0) != USB_OPEN_OK) {
        return false;
    }
    const bool loaded =
        controller.vendor_id == BARE_CONTROLLER_VENDOR_ID &&
        controller.product_id == BARE_CONTROLLER_PRODUCT_ID &&
        usb_firmware_load_ram(&controller, firmware_image(IMAGE_USB_FIRMWARE).bytes()) ==
            CONTROLLER_RAM_LOADED;
    usb_close_device(&controller);
    return loaded;
}

bool start_std_thread(std::thread& thread, std::function<void()> body) {
    try {
        thread = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

WorkerThreadStarter worker_thread_starter = &start_std_thread;

bool start_worker(UsbDevice* device, int program_mode, RunOutcome* outcome) {
    auto ended = std::make_shared<std::atomic<bool>>(false);
    // The worker gets its own copy of the start record.
    const WorkerRequest request{device, program_mode, outcome};
    const bool started = worker_thread_starter(worker.thread, [request, ended] {
        ProgrammingWorker(&request);
        ended->store(true);
    });
    if (!started) {
        return false;
    }
    worker.ended = ended;
    return true;
}

// Opens the listed instrument and starts the worker on it. 1 when the worker
// started; when_not_opened when the device would not open; 0 when the
// worker's thread could not start (each refusal shown in its message box).
int open_and_start_worker(UsbDevice* device, int program_mode, int when_not_opened,
                          RunOutcome* outcome) {
    if (usb_open_device(device, 1) != USB_OPEN_OK) {
        device_list_refresh(remembered_device_path().c_str());
        window_port().message_box(CANNOT_ACCESS, MessageIcon::warning);
        return when_not_opened;
    }
    // A worker that started owns the open device: it closes it and refreshes
    // the list when it ends, however quickly that is, so the command does not
    // judge it by how long it has been running.
    if (!start_worker(device, program_mode, outcome)) {
        window_port().control_enable(IDC_REFRESH, true);
        usb_close_device(device);
        device_list_refresh(remembered_device_path().c_str());
        window_port().message_box(WORKER_NOT_STARTED, MessageIcon::error);
        return 0;
    }
    return 1;
}

}  // namespace

// Each command refuses while a worker runs before it reads the device list,
// which the worker's closing refresh rewrites on the worker's thread.
int program_command(int index, int program_mode, RunOutcome* outcome) {
    if (outcome != nullptr) {
        *outcome = RunOutcome{};
    }
    if (refuse_when_busy()) {
        return 0;
    }
    UsbDevice* device = listed_device(index);
    if (device == nullptr) {
        return 0;
    }
    drop_worker_handle();
    remembered_device_path() = device->path;

    if (usb_open_device(device, 1) == USB_OPEN_OK) {
        restart_instrument(device);
        device = await_restarted_instrument();
        if (device == nullptr) {
            log_append("failed");
            log_end_line();
            window_port().message_box(NOT_FOUND_AFTER_RESTART, MessageIcon::error);
            return 0;
        }
        log_append("done");
        log_end_line();
    }
    return open_and_start_worker(device, program_mode, 1, outcome);
}

int recover_command(const char* bare_controller_path, RunOutcome* outcome) {
    if (outcome != nullptr) {
        *outcome = RunOutcome{};
    }
    if (bare_controller_path == nullptr || refuse_when_busy()) {
        return 0;
    }
    drop_worker_handle();
    remembered_device_path() = bare_controller_path;
    window_port().log_set_text("");
    log_append("Loading the USB firmware into the controller ... ");
    if (!load_firmware_into(bare_controller_path)) {
        log_append("failed");
        log_end_line();
        window_port().message_box(CONTROLLER_NOT_LOADED, MessageIcon::warning);
        return 0;
    }
    log_append("done");
    log_end_line();
    log_append("Waiting for the instrument ... ");
    UsbDevice* device = await_instrument_at_remembered_path();
    if (device == nullptr) {
        log_append("failed");
        log_end_line();
        window_port().message_box(CONTROLLER_NOT_BACK, MessageIcon::warning);
        return 0;
    }
    log_append("done");
    log_end_line();
    // No restart: it would start the controller from its EEPROM, which holds
    // no boot image. The firmware runs from RAM until the worker has written
    // the EEPROM and the user power-cycles the instrument.
    return open_and_start_worker(device, 1, 0, outcome);
}

int device_power_command(int index, int halt, bool* sent) {
    if (sent != nullptr) {
        *sent = false;
    }
    if (refuse_when_busy()) {
        return 0;
    }
    UsbDevice* device = listed_device(index);
    if (device == nullptr) {
        return 0;
    }
    remembered_device_path() = device->path;
    if (usb_open_device(device, 1) != USB_OPEN_OK) {
        device_list_refresh(remembered_device_path().c_str());
        window_port().message_box(CANNOT_ACCESS, MessageIcon::warning);
        return 1;
    }
    send_fpga_config(device, halt == 1 ? FPGA_CONFIG_HALT : FPGA_CONFIG_POWER_CYCLE);
    send_supply_power_commands(device);
    usb_close_device(device);
    if (sent != nullptr) {
        *sent = true;
    }
    window_port().log_set_text(halt == 1 ? "Device FPGA halted." : "Device power-cycled.");
    return 1;
}

int refresh_command() {
    if (refuse_when_busy()) {
        return 0;
    }
    device_list_refresh(nullptr);
    return 1;
}

bool worker_busy() {
    return worker_running();
}

void worker_thread_starter_install(WorkerThreadStarter starter) {
    worker_thread_starter = starter != nullptr ? starter : &start_std_thread;
}

void worker_wait() {
    if (worker.thread.joinable()) {
        worker.thread.join();
    }
}
