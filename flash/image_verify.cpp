// Reads a region back and compares it with its image, chunk by chunk, as
// large as the instrument makes each read reply.
#include <algorithm>

#include "device/flash_commands.h"
#include "device/reply_stream.h"
#include "flash/flash_image.h"
#include "flash/flash_operation.h"

namespace {

constexpr std::uint32_t FLASH_MODE_READ = 0;

// What a read request that did not go out whole makes of the verification.
int command_result(int sent) {
    return sent < 0 ? sent : FLASH_FAILED;
}

// The index of the first byte of the reply that differs from the image at
// offset, or m when all m compared bytes are equal.
std::uint32_t first_difference(std::span<const std::uint8_t> image, std::uint32_t offset,
                               std::uint32_t m) {
    const std::uint8_t* expected = image.data() + offset;
    const auto mismatch = std::mismatch(expected, expected + m, reply_stream.payload);
    return static_cast<std::uint32_t>(mismatch.first - expected);
}

int compare_region(FlashOperation& operation, StopAsked stop_asked) {
    UsbDevice* device = operation.device();
    const std::uint32_t length = operation.length();
    std::uint32_t offset = 0;
    int unanswered = 0;
    while (offset < length) {
        if (stop_asked != nullptr && stop_asked()) {
            return FLASH_VERIFY_STOPPED;
        }
        const int sent =
            flash_command(device, FLASH_CMD_READ | (operation.region().start + offset));
        if (sent != FLASH_FRAME_SENT) {
            return command_result(sent);
        }
        const ReplyWaitResult reply = flash_wait_reply(device, VERIFY_REPLY_POLLS);
        if (reply.outcome == ReplyWait::unanswered || reply.outcome == ReplyWait::no_pipe) {
            if (++unanswered >= FLASH_ATTEMPTS) {
                return FLASH_UNANSWERED;
            }
            continue;
        }
        if (reply.outcome == ReplyWait::failed) {
            return reply.value;
        }
        // Bytes beyond the image's end are not compared.
        const std::uint32_t m = std::min(static_cast<std::uint32_t>(reply.value), length - offset);
        const std::uint32_t equal = first_difference(operation.image(), offset, m);
        if (equal < m) {
            operation.report(offset + equal);
            return FLASH_VERIFY_DIFFERS;
        }
        offset += m;
        operation.report(offset);
        unanswered = 0;
    }
    return FLASH_VERIFY_MATCHES;
}

}  // namespace

int region_verify(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to,
                  StopAsked stop_asked) {
    FlashOperation operation(device, region, overall_from, overall_to);
    const FlashOpening opening = operation.open();
    // A flash that does not identify counts as different; a region that may
    // lie on the other device was not compared at all.
    int result = opening.selected ? FLASH_VERIFY_DIFFERS : FLASH_FAILED;
    if (opening.ready()) {
        flash_command(device, FLASH_CMD_MODE | FLASH_MODE_READ);
        result = compare_region(operation, stop_asked);
    }
    return operation.close_verify(result);
}

int image_verify(UsbDevice* device, int selector, int overall_from, int overall_to) {
    return region_verify(device, flash_region(selector), overall_from, overall_to);
}
