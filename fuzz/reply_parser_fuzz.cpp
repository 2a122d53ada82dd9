// The reply parser over arbitrary streams cut into arbitrary reads.
#include <cstring>

#include "device/reply_stream.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    reply_stream = ReplyStream{};
    FuzzInput input(data, size);
    while (!input.empty()) {
        const std::size_t read_length = 1 + input.byte() % REPLY_RECEIVE_BUFFER_SIZE;
        const std::vector<std::uint8_t> read = input.bytes(read_length);
        if (read.empty()) {
            break;
        }
        std::memcpy(reply_stream.receive_buffer, read.data(), read.size());
        reply_stream.fill_count = static_cast<std::int32_t>(read.size());
        reply_stream.read_position = 0;
        for (;;) {
            const int length = ReplyParser();
            if (length == 0) {
                break;
            }
            if (length < 0 || length > REPLY_PAYLOAD_BUFFER_SIZE || length % 4 != 0) {
                __builtin_trap();
            }
        }
        if (reply_stream.read_position != reply_stream.fill_count) {
            __builtin_trap();  // a read is used up before the next one comes
        }
    }
    return 0;
}
