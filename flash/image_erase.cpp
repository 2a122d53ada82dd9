// Erases a region sector by sector, each sector awaited before the next.
#include "window/window_port.h"
#include "device/clock.h"
#include "device/flash_commands.h"
#include "flash/flash_image.h"
#include "flash/flash_operation.h"

namespace {

constexpr int LARGE_SECTOR_CAPACITY_ABOVE = 23;  // 16 MiB and more
constexpr std::uint32_t LARGE_SECTOR = 0x40000;
constexpr std::uint32_t SMALL_SECTOR = 0x10000;
constexpr std::uint32_t UPDATE_BEGIN_PAUSE_MS = 1;
// The current-task bar fills in this many empty polls (about 2.5 s).
constexpr std::uint32_t ERASE_BAR_POLLS = 250;

std::uint32_t sector_size(int capacity_code) {
    return capacity_code > LARGE_SECTOR_CAPACITY_ABOVE ? LARGE_SECTOR : SMALL_SECTOR;
}

void show_sector_wait(int empty_polls) {
    progress_task(static_cast<std::uint32_t>(empty_polls) * PROGRESS_FULL / ERASE_BAR_POLLS);
}

int erase_sectors(FlashOperation& operation, std::uint32_t sector) {
    UsbDevice* device = operation.device();
    std::uint32_t offset = 0;
    int unanswered = 0;
    for (;;) {
        const int sent =
            flash_command(device, FLASH_CMD_ERASE | (operation.region().start + offset));
        if (sent != FLASH_FRAME_SENT) {
            return sent;  // FLASH_ERASE_PARTLY_TAKEN, or the write's negative code
        }
        const ReplyWaitResult reply = flash_wait_reply(device, ERASE_REPLY_POLLS, show_sector_wait);
        if (reply.outcome == ReplyWait::failed) {
            operation.report_overall(offset + sector);
            return reply.value;
        }
        if (reply.outcome != ReplyWait::arrived) {
            if (++unanswered >= FLASH_ATTEMPTS) {
                return FLASH_UNANSWERED;
            }
            continue;
        }
        offset += sector;
        operation.report_overall(offset);
        unanswered = 0;
        if (offset >= operation.length()) {
            return FLASH_DONE;
        }
    }
}

}  // namespace

int region_erase(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to) {
    FlashOperation operation(device, region, overall_from, overall_to);
    int result = FLASH_FAILED;
    const FlashOpening opening = operation.open();
    if (opening.ready()) {
        flash_command(device, FLASH_CMD_UPDATE_BEGIN);
        clock_sleep_ms(UPDATE_BEGIN_PAUSE_MS);
        result = erase_sectors(operation, sector_size(opening.capacity_code));
    }
    operation.close_update();
    return result;
}

int image_erase(UsbDevice* device, int selector, int overall_from, int overall_to) {
    return region_erase(device, flash_region(selector), overall_from, overall_to);
}
