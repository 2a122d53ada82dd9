#include "device/reply_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include "support/scripted_backend.h"
#include "support/test_clock.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Outcome = ScriptedBackend::Outcome;

Bytes counting_payload(std::size_t size, std::uint8_t first) {
    Bytes payload(size);
    std::iota(payload.begin(), payload.end(), first);
    return payload;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes current_payload(int length) {
    return Bytes(reply_stream.payload, reply_stream.payload + length);
}

class ReplyStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reply_stream = ReplyStream{};
        usb_install_backend(&backend);
    }
    void TearDown() override {
        usb_install_backend(nullptr);
        reply_stream = ReplyStream{};
    }

    // Every frame the stream yields until the scripted reads run out.
    std::vector<Bytes> collect_frames() {
        std::vector<Bytes> frames;
        for (;;) {
            const int result = reply_next(backend.device(), REPLY_TIMEOUT_MS);
            if (result > 0) {
                frames.push_back(current_payload(result));
            } else if (result < 0) {
                return frames;
            }
        }
    }

    InstalledTestClock clock;
    ScriptedBackend backend;
};

TEST_F(ReplyStreamTest, OneWordReplyLeavesItsBytesAtTheStartOfThePayload) {
    backend.queue_read(frame_bytes(Bytes{0x20, 0x20, 0x18, 0x7F}));
    ASSERT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 4);
    EXPECT_EQ(current_payload(4), (Bytes{0x20, 0x20, 0x18, 0x7F}));
    EXPECT_EQ(reply_stream.fill_count, 20);
    EXPECT_EQ(reply_stream.read_position, 20);
    EXPECT_EQ(reply_stream.state, REPLY_SEEK_MAGIC);
}

TEST_F(ReplyStreamTest, TwoFramesInOneReadComeOutOneCallEach) {
    const Bytes first = counting_payload(8, 1);
    const Bytes second = counting_payload(12, 100);
    backend.queue_read(concat({frame_bytes(first), frame_bytes(second)}));

    ASSERT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 8);
    EXPECT_EQ(current_payload(8), first);
    ASSERT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 12);
    EXPECT_EQ(current_payload(12), second);
    EXPECT_EQ(backend.reads_started(), 1);

    // Used up: the next call reads again and finds a silent instrument.
    EXPECT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), USB_ERR_TIMEOUT);
    EXPECT_EQ(backend.reads_started(), 2);
}

TEST_F(ReplyStreamTest, FrameSplitAcrossTwoReadsCompletesWithTheSecond) {
    const Bytes payload = counting_payload(16, 7);
    const Bytes frame = frame_bytes(payload);
    for (std::size_t split = 1; split < frame.size(); ++split) {
        SCOPED_TRACE(split);
        backend.queue_read(slice(frame, 0, split));
        backend.queue_read(slice(frame, split, frame.size()));
        EXPECT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 0);
        ASSERT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 16);
        EXPECT_EQ(current_payload(16), payload);
    }
}

// Two frames with garbage before and between them, cut into three reads at
// every pair of positions: the same two payloads come out every time.
TEST_F(ReplyStreamTest, EveryCutOfAStreamYieldsTheSameFrames) {
    const Bytes first = counting_payload(20, 0x30);
    const Bytes second{0xDE, 0xAD, 0xBE, 0xEF};
    const Bytes stream = concat({Bytes{0x01, 0x47, 0x5A, 0x00}, frame_bytes(first),
                                 Bytes{0x47, 0xFF, 0x5A, 0x00, 0x00}, frame_bytes(second)});
    for (std::size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= stream.size(); ++cut2) {
            SCOPED_TRACE(testing::Message() << cut1 << " " << cut2);
            reply_stream = ReplyStream{};
            backend.queue_read(slice(stream, 0, cut1));
            backend.queue_read(slice(stream, cut1, cut2));
            backend.queue_read(slice(stream, cut2, stream.size()));
            const std::vector<Bytes> frames = collect_frames();
            ASSERT_EQ(frames.size(), 2U);
            EXPECT_EQ(frames[0], first);
            EXPECT_EQ(frames[1], second);
        }
    }
}

TEST_F(ReplyStreamTest, ByteAtATimeReadsYieldTheFrameOnItsLastByte) {
    const Bytes payload = counting_payload(12, 0x47);
    const Bytes frame = frame_bytes(payload);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        backend.queue_read(Bytes{frame[i]});
        const int result = reply_next(backend.device(), REPLY_TIMEOUT_MS);
        EXPECT_EQ(result, i + 1 == frame.size() ? 12 : 0) << i;
    }
    EXPECT_EQ(current_payload(12), payload);
}

TEST_F(ReplyStreamTest, MagicBytesInsideAPayloadAreCopiedAsPayload) {
    // A whole frame header nested in the payload must not restart the frame.
    const Bytes payload = concat(
        {Bytes{0x47, 0x5A, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, Bytes(8, 0), Bytes{9, 9, 9, 9}});
    const Bytes tail{0xAA, 0xBB, 0xCC, 0xDD};
    backend.queue_read(concat({frame_bytes(payload), frame_bytes(tail)}));
    ASSERT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 20);
    EXPECT_EQ(current_payload(20), payload);
    ASSERT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 4);
    EXPECT_EQ(current_payload(4), tail);
}

TEST_F(ReplyStreamTest, StreamStartingMidFrameFindsTheNextWholeFrame) {
    const Bytes whole = counting_payload(8, 0x60);
    const Bytes earlier = frame_bytes(counting_payload(32, 0x80));
    // The tail of an earlier frame, its header lost with an earlier read.
    backend.queue_read(concat({slice(earlier, 21, earlier.size()), frame_bytes(whole)}));
    const std::vector<Bytes> frames = collect_frames();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0], whole);
}

TEST_F(ReplyStreamTest, OversizedFramesAreDroppedWithoutTouchingThePayloadBuffer) {
    const Bytes good{1, 2, 3, 4};
    for (const std::uint32_t words : {1025U, 0x40000001U, 0xFFFFFFFFU}) {
        SCOPED_TRACE(words);
        reply_stream = ReplyStream{};
        std::memset(reply_stream.payload, 0x5C, sizeof reply_stream.payload);
        // 0x40000001 words would be 4 bytes in a 32-bit length: it must not pass as a small frame.
        const Bytes huge = frame_bytes(words, Bytes(REPLY_PAYLOAD_BUFFER_SIZE + 64, 0xEE));
        for (std::size_t at = 0; at < huge.size(); at += REPLY_RECEIVE_BUFFER_SIZE) {
            backend.queue_read(
                slice(huge, at, std::min(huge.size(), at + REPLY_RECEIVE_BUFFER_SIZE)));
        }
        backend.queue_read(frame_bytes(good));

        const std::vector<Bytes> frames = collect_frames();
        ASSERT_EQ(frames.size(), 1U);
        EXPECT_EQ(frames[0], good);
        EXPECT_TRUE(std::all_of(reply_stream.payload + 4, std::end(reply_stream.payload),
                                [](std::uint8_t b) { return b == 0x5C; }));
    }
}

TEST_F(ReplyStreamTest, LargestFrameFillsThePayloadBufferExactly) {
    const Bytes payload = counting_payload(REPLY_PAYLOAD_BUFFER_SIZE, 3);
    const Bytes frame = frame_bytes(payload);
    for (std::size_t at = 0; at < frame.size(); at += REPLY_RECEIVE_BUFFER_SIZE) {
        backend.queue_read(
            slice(frame, at, std::min(frame.size(), at + REPLY_RECEIVE_BUFFER_SIZE)));
    }
    const std::vector<Bytes> frames = collect_frames();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0], payload);
}

TEST_F(ReplyStreamTest, ZeroWordFrameReturnsToTheMagicSearch) {
    const Bytes good{5, 6, 7, 8};
    backend.queue_read(concat({frame_bytes(0, {}), frame_bytes(good)}));
    ASSERT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 4);
    EXPECT_EQ(current_payload(4), good);
}

TEST_F(ReplyStreamTest, TimedOutReadIsCollectedByALaterCall) {
    const Bytes payload{0x20, 0x20, 0x18, 0x00};
    backend.queue_read(frame_bytes(payload), 25);
    EXPECT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), USB_ERR_TIMEOUT);
    EXPECT_EQ(reply_stream.fill_count, 0);
    EXPECT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), USB_ERR_TIMEOUT);
    ASSERT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 4);
    EXPECT_EQ(current_payload(4), payload);
    EXPECT_EQ(backend.reads_started(), 1);
    EXPECT_EQ(clock.now_ms(), 25U);
}

TEST_F(ReplyStreamTest, FailedReadKeepsTheHalfParsedFrame) {
    const Bytes payload = counting_payload(8, 0x11);
    const Bytes frame = frame_bytes(payload);
    backend.queue_read(slice(frame, 0, 10));
    backend.queue_read_outcome(Outcome::completion_failure);
    backend.queue_read(slice(frame, 10, frame.size()));

    EXPECT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 0);
    EXPECT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), USB_ERR_INCOMPLETE);
    EXPECT_EQ(reply_stream.fill_count, 0);
    ASSERT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 8);
    EXPECT_EQ(current_payload(8), payload);
}

TEST_F(ReplyStreamTest, EmptyReadYieldsNoFrame) {
    backend.queue_read(Bytes{});
    EXPECT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 0);
    EXPECT_EQ(backend.reads_started(), 1);
}

TEST_F(ReplyStreamTest, FillCountBeyondTheReceiveBufferIsNotParsed) {
    // A count the platform got wrong must neither be parsed past nor stall the stream.
    reply_stream.fill_count = REPLY_RECEIVE_BUFFER_SIZE + 100;
    EXPECT_EQ(ReplyParser(), 0);
    EXPECT_EQ(reply_stream.read_position, REPLY_RECEIVE_BUFFER_SIZE);
    backend.queue_read(frame_bytes(Bytes{1, 1, 1, 1}));
    EXPECT_EQ(reply_next(backend.device(), REPLY_TIMEOUT_MS), 4);
    EXPECT_EQ(backend.reads_started(), 1);
}

TEST_F(ReplyStreamTest, DrainOnASilentInstrumentCostsOneShortRead) {
    reply_drain(backend.device());
    EXPECT_EQ(backend.reads_started(), 1);
    EXPECT_EQ(clock.now_ms(), 10U);
}

TEST_F(ReplyStreamTest, DrainConsumesEveryQueuedReplyThenReadsOnceMore) {
    for (std::uint8_t i = 0; i < 3; ++i) {
        backend.queue_read(frame_bytes(Bytes{i, i, i, i}));
    }
    reply_drain(backend.device());
    EXPECT_EQ(backend.reads_queued(), 0U);
    EXPECT_EQ(backend.reads_started(), 4);
    EXPECT_EQ(clock.now_ms(), 10U);
}

TEST_F(ReplyStreamTest, DrainConsumesRepliesSharingOneRead) {
    backend.queue_read(
        concat({frame_bytes(Bytes(4, 1)), frame_bytes(Bytes(8, 2)), frame_bytes(Bytes(4, 3))}));
    reply_drain(backend.device());
    EXPECT_EQ(backend.reads_started(), 2);
    EXPECT_EQ(reply_stream.fill_count, 0);
}

}  // namespace
