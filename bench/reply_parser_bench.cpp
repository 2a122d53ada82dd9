// How fast ReplyParser cuts the instrument's reply stream into frames.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/reply_stream.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_word(Bytes& bytes, std::uint32_t word) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>(word >> shift));
    }
}

// frame_count frames of payload_bytes each, with changing payload content.
Bytes reply_stream_bytes(int frame_count, int payload_bytes) {
    Bytes stream;
    std::uint8_t value = 0;
    for (int frame = 0; frame < frame_count; ++frame) {
        put_word(stream, FRAME_MAGIC);
        put_word(stream, static_cast<std::uint32_t>(payload_bytes / 4));
        put_word(stream, 0);
        put_word(stream, 0);
        for (int i = 0; i < payload_bytes; ++i) {
            stream.push_back(value);
            value = static_cast<std::uint8_t>(value * 5 + 1);
        }
    }
    return stream;
}

// Feeds the stream in 512-byte reads, as the bulk pipe delivers it, and
// takes every frame out; the copy into the receive buffer stands for the read.
void parse_in_reads(benchmark::State& state, const Bytes& stream, int expected_frames) {
    for (auto _ : state) {
        int frames = 0;
        for (std::size_t at = 0; at < stream.size(); at += REPLY_RECEIVE_BUFFER_SIZE) {
            const std::size_t count =
                std::min<std::size_t>(REPLY_RECEIVE_BUFFER_SIZE, stream.size() - at);
            std::memcpy(reply_stream.receive_buffer, stream.data() + at, count);
            reply_stream.fill_count = static_cast<std::int32_t>(count);
            reply_stream.read_position = 0;
            while (ReplyParser() > 0) {
                ++frames;
            }
        }
        benchmark::DoNotOptimize(reply_stream.payload);
        if (frames != expected_frames) {
            state.SkipWithError("frames lost");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(stream.size()));
}

// Read replies of a verification: 1024 payload bytes each.
void BM_ReplyParserReadReplies(benchmark::State& state) {
    constexpr int frames = 256;
    parse_in_reads(state, reply_stream_bytes(frames, 1024), frames);
}
BENCHMARK(BM_ReplyParserReadReplies);

// Largest frames the payload buffer holds.
void BM_ReplyParserLargestFrames(benchmark::State& state) {
    constexpr int frames = 64;
    parse_in_reads(state, reply_stream_bytes(frames, REPLY_PAYLOAD_BUFFER_SIZE), frames);
}
BENCHMARK(BM_ReplyParserLargestFrames);

// One-word replies (identification, erase and program acknowledgements): the
// header dominates, so this measures the byte-exact part of the parser.
void BM_ReplyParserOneWordReplies(benchmark::State& state) {
    constexpr int frames = 4096;
    parse_in_reads(state, reply_stream_bytes(frames, 4), frames);
}
BENCHMARK(BM_ReplyParserOneWordReplies);

// Bytes with no frame in them: the magic search alone.
void BM_ReplyParserMagicSearch(benchmark::State& state) {
    Bytes noise(256 * 1024);
    std::uint8_t value = 1;
    for (std::uint8_t& byte : noise) {
        byte = value;
        value = static_cast<std::uint8_t>(value * 5 + 3);
    }
    parse_in_reads(state, noise, 0);
}
BENCHMARK(BM_ReplyParserMagicSearch);

}  // namespace
