// Writes an image into its erased region page by page, from the last page to
// the first, so that the image's first bytes (a bitstream's sync word, the
// start of a firmware) are in the flash only once everything else is.
#include <algorithm>
#include <cstring>

#include "device/clock.h"
#include "device/flash_commands.h"
#include "device/reply_stream.h"
#include "flash/flash_image.h"
#include "flash/flash_operation.h"

namespace {

constexpr std::uint32_t PAGE = FLASH_PAGE_SIZE;
constexpr std::uint32_t UPDATE_BEGIN_PAUSE_MS = 1;

// The page at offset; a last page shorter than 256 bytes is filled with 0xFF
// (the erased state) in the shared transfer buffer.
std::span<const std::uint8_t, FLASH_PAGE_SIZE> page_at(std::span<const std::uint8_t> image,
                                                       std::uint32_t offset) {
    const std::size_t available = image.size() - offset;
    if (available >= PAGE) {
        return image.subspan(offset).first<FLASH_PAGE_SIZE>();
    }
    std::uint8_t* page = reply_stream.payload;
    std::memcpy(page, image.data() + offset, available);
    std::memset(page + available, 0xFF, PAGE - available);
    return std::span<const std::uint8_t, FLASH_PAGE_SIZE>(page, FLASH_PAGE_SIZE);
}

int write_pages(FlashOperation& operation) {
    UsbDevice* device = operation.device();
    const std::uint32_t length = operation.length();
    const std::uint32_t last = (length - 1) / PAGE * PAGE;
    std::uint32_t done = length - last;
    for (std::uint32_t offset = last;; offset -= PAGE) {
        const auto page = page_at(operation.image(), offset);
        if (flash_write_page(device, operation.region().start + offset, page) != FLASH_FRAME_SENT) {
            return FLASH_FAILED;
        }
        const ReplyWaitResult reply = flash_wait_reply(device, PROGRAM_REPLY_POLLS);
        // The bars move as though the page was acknowledged, also when it was not.
        operation.report(done);
        if (reply.outcome == ReplyWait::unanswered) {
            return FLASH_UNANSWERED;
        }
        if (reply.outcome != ReplyWait::arrived) {
            return reply.value;
        }
        done += PAGE;
        if (offset == 0) {
            return FLASH_DONE;
        }
    }
}

}  // namespace

int region_program(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to) {
    FlashOperation operation(device, region, overall_from, overall_to);
    int result = FLASH_FAILED;
    if (operation.open().ready() && operation.length() > 0) {
        flash_command(device, FLASH_CMD_UPDATE_BEGIN);
        clock_sleep_ms(UPDATE_BEGIN_PAUSE_MS);
        result = write_pages(operation);
    }
    operation.close_update();
    return result;
}

int image_program(UsbDevice* device, int selector, int overall_from, int overall_to) {
    return region_program(device, flash_region(selector), overall_from, overall_to);
}
