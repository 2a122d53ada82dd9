#include "device/reply_stream.h"

#include <algorithm>
#include <cstring>

ReplyStream reply_stream{};

namespace {

constexpr int WORD_COUNT_BYTES = 4;
constexpr int RESERVED_BYTES = 8;

std::uint32_t shift_into_window(std::uint32_t window, std::uint8_t byte) {
    return (window >> 8) | (static_cast<std::uint32_t>(byte) << 24);
}

// The magic search stays byte-exact: the window carries over between frames
// and reads, so a magic split across reads is still found.
// The fill count is the platform's transferred count: never parse past the buffer.
int buffered_end(const ReplyStream& stream) {
    return std::clamp(stream.fill_count, 0, REPLY_RECEIVE_BUFFER_SIZE);
}

int seek_magic(ReplyStream& stream, int position, int end) {
    std::uint32_t window = stream.window;
    while (position < end) {
        window = shift_into_window(window, stream.receive_buffer[position++]);
        if (window == FRAME_MAGIC) {
            stream.counter = 0;
            stream.state = REPLY_WORD_COUNT;
            break;
        }
    }
    stream.window = window;
    return position;
}

// A frame of 0 words or of more than the payload buffer holds is not a reply
// the instrument sends: it is dropped right after its count, and the magic
// search resumes with the reserved words, so nothing is stored for it.
int read_word_count(ReplyStream& stream, int position, int end) {
    while (position < end && stream.counter < WORD_COUNT_BYTES) {
        stream.window = shift_into_window(stream.window, stream.receive_buffer[position++]);
        ++stream.counter;
    }
    if (stream.counter < WORD_COUNT_BYTES) {
        return position;
    }
    const std::uint32_t words = stream.window;
    stream.counter = 0;
    if (words == 0 || words > static_cast<std::uint32_t>(REPLY_MAX_WORDS)) {
        stream.state = REPLY_SEEK_MAGIC;
        return position;
    }
    stream.frame_length = static_cast<std::int32_t>(words * 4);
    stream.state = REPLY_RESERVED;
    return position;
}

int skip_reserved(ReplyStream& stream, int position, int end) {
    const int skipped = std::min(RESERVED_BYTES - stream.counter, end - position);
    stream.counter += skipped;
    if (stream.counter >= RESERVED_BYTES) {
        stream.counter = 0;
        stream.state = REPLY_PAYLOAD;
    }
    return position + skipped;
}

// Copies as much of the payload as the buffer holds; true when the frame is complete.
bool copy_payload(ReplyStream& stream, int& position, int end) {
    if (stream.frame_length <= 0 || stream.frame_length > REPLY_PAYLOAD_BUFFER_SIZE ||
        stream.counter < 0 || stream.counter >= stream.frame_length) {
        // Not a state the parser leaves behind; start over rather than store out of bounds.
        stream.counter = 0;
        stream.state = REPLY_SEEK_MAGIC;
        return false;
    }
    const int copied = std::min(stream.frame_length - stream.counter, end - position);
    std::memcpy(stream.payload + stream.counter, stream.receive_buffer + position,
                static_cast<std::size_t>(copied));
    stream.counter += copied;
    position += copied;
    if (stream.counter < stream.frame_length) {
        return false;
    }
    stream.counter = 0;
    stream.state = REPLY_SEEK_MAGIC;
    return true;
}

}  // namespace

int ReplyParser() {
    ReplyStream& stream = reply_stream;
    const int end = buffered_end(stream);
    int position = std::max(stream.read_position, 0);
    while (position < end) {
        switch (stream.state) {
            case REPLY_SEEK_MAGIC:
                position = seek_magic(stream, position, end);
                break;
            case REPLY_WORD_COUNT:
                position = read_word_count(stream, position, end);
                break;
            case REPLY_RESERVED:
                position = skip_reserved(stream, position, end);
                break;
            case REPLY_PAYLOAD:
                if (copy_payload(stream, position, end)) {
                    stream.read_position = position;
                    return stream.frame_length;
                }
                break;
            default:
                stream.counter = 0;
                stream.state = REPLY_SEEK_MAGIC;
                break;
        }
    }
    stream.read_position = position;
    return 0;
}

int reply_next(UsbDevice* device, int timeout_ms) {
    ReplyStream& stream = reply_stream;
    if (stream.fill_count != 0 && stream.read_position < buffered_end(stream)) {
        return ReplyParser();
    }
    const int result = usb_bulk_read(device, PIPE_BULK_IN, stream.receive_buffer,
                                     REPLY_RECEIVE_BUFFER_SIZE, &stream.fill_count, timeout_ms);
    if (result != USB_OK) {
        return result;
    }
    stream.read_position = 0;
    if (stream.fill_count == 0) {
        return 0;
    }
    return ReplyParser();
}

void reply_drain(UsbDevice* device) {
    while (reply_next(device, REPLY_TIMEOUT_MS) > 0) {
    }
}
