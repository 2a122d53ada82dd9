#pragma once
// The receive side of the instrument's bulk traffic: the bytes of the last read
// on pipe 0x86 and the frame cutter that turns them into reply payloads.
#include <cstdint>

#include "device/usb.h"

// Every frame, in either direction, starts with these four bytes
// (0x47 0x5A 0x00 0x00) followed by the word count and two reserved words.
constexpr std::uint32_t FRAME_MAGIC = 0x00005A47;
constexpr int FRAME_HEADER_SIZE = 16;

constexpr int REPLY_RECEIVE_BUFFER_SIZE = 512;
constexpr int REPLY_PAYLOAD_BUFFER_SIZE = 4096;
constexpr int REPLY_MAX_WORDS = REPLY_PAYLOAD_BUFFER_SIZE / 4;

// Timeouts of the reply reads: the identification query waits longer than
// everything else.
constexpr int REPLY_TIMEOUT_MS = 10;
constexpr int REPLY_IDENTIFY_TIMEOUT_MS = 500;

enum ReplyParserState : std::int32_t {
    REPLY_SEEK_MAGIC = 0,
    REPLY_WORD_COUNT = 1,
    REPLY_RESERVED = 2,
    REPLY_PAYLOAD = 3,
};

struct ReplyStream {
    std::uint8_t receive_buffer[REPLY_RECEIVE_BUFFER_SIZE];
    std::int32_t fill_count;     // valid bytes of receive_buffer; the transferred count of the read
    std::int32_t read_position;  // next unparsed byte of receive_buffer
    std::int32_t state;          // a ReplyParserState
    std::uint32_t window;        // last four bytes seen while seeking or counting, little-endian
    std::int32_t counter;        // bytes counted in the current state
    std::int32_t frame_length;   // payload bytes of the current frame
    // The current frame's payload from index 0. Also the program's general
    // 4096-byte transfer buffer: use a payload before the buffer is reused.
    std::uint8_t payload[REPLY_PAYLOAD_BUFFER_SIZE];
};

// The one stream of the program, zero at start and never reset: the
// instrument is talked to by one thread at a time.
extern ReplyStream reply_stream;

// Parses buffered bytes from the read position until one frame completes (its
// payload length, > 0) or the buffered bytes run out (0). Resumable at any byte.
int ReplyParser();

// At most one complete reply: from the buffered bytes, or else from one new
// 512-byte read on pipe 0x86. > 0 payload bytes, 0 none, or a usb_bulk_read
// code (-100 timed out; the read stays outstanding).
int reply_next(UsbDevice* device, int timeout_ms);

// Discards every queued reply: reply_next with 10 ms until it yields none.
void reply_drain(UsbDevice* device);
