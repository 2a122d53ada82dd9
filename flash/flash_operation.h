#pragma once
// What the three flash image operations share: the opening and closing
// steps, the wait for one reply, and the movement of the bars.
#include <cstdint>
#include <functional>
#include <span>

#include "device/flash_commands.h"
#include "device/usb.h"
#include "flash/flash_layout.h"

// Empty-poll budgets of the waits for one reply.
constexpr int VERIFY_REPLY_POLLS = 51;
constexpr int ERASE_REPLY_POLLS = 501;
constexpr int PROGRAM_REPLY_POLLS = 51;
// Unanswered attempts at one read offset or one erase sector before giving up.
constexpr int FLASH_ATTEMPTS = 6;

enum class ReplyWait {
    arrived,     // a reply is in the payload buffer
    unanswered,  // the budget of empty polls ran out
    no_pipe,     // a read found no pipe
    failed,      // a read failed otherwise
};

struct ReplyWaitResult {
    ReplyWait outcome;
    int value;  // payload bytes when arrived, the read's code when it failed
};

// Waits for one reply, counting 0 and timeout results as empty polls. The
// callback, when given, runs at every empty poll with the count before it.
ReplyWaitResult flash_wait_reply(UsbDevice* device, int budget,
                                 const std::function<void(int)>& on_empty_poll = {});

// What the opening found.
struct FlashOpening {
    bool selected = false;   // the device select went out whole
    // < 1: the flash did not answer (FLASH_NOT_IDENTIFIED); not asked unless selected.
    int capacity_code = FLASH_NOT_IDENTIFIED;

    // Erasing, writing and reading need both: after a select that did not go
    // out whole the flash core still addresses the device selected before,
    // and the same addresses there lie in another image's region.
    bool ready() const { return selected && capacity_code > 0; }
};

// One operation on one region, from its opening to its closing.
class FlashOperation {
  public:
    FlashOperation(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to);

    // Mode 5, the device select, the bars at their start, then, when the
    // select went out whole, a drain and the identification.
    FlashOpening open();

    // The closing of an erase or programming run.
    void close_update();
    // The closing of a verification: returns the result, replaced by the
    // failure of its last send.
    int close_verify(int result);

    // Both bars for done bytes of the image.
    void report(std::uint32_t done) const;
    // The overall bar alone for done bytes (not clipped to the image).
    void report_overall(std::uint32_t done) const;

    UsbDevice* device() const { return device_; }
    const FlashRegion& region() const { return region_; }
    std::span<const std::uint8_t> image() const { return image_; }
    std::uint32_t length() const { return static_cast<std::uint32_t>(image_.size()); }
    int overall_from() const { return overall_from_; }
    std::uint32_t span() const { return span_; }

  private:
    void finish();

    UsbDevice* device_;
    FlashRegion region_;
    std::span<const std::uint8_t> image_;
    int overall_from_;
    std::uint32_t span_;
};
