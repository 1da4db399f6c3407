#include "protocol/receiver.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "protocol/frame_stream.h"
#include "support/alloc_counter.h"

namespace {

using frame_stream::Bytes;
using frame_stream::Delivered;

Delivered Take(Receiver& rx) {
    Delivered d;
    d.isResponse = rx.responseReady;
    d.type = rx.frameType;
    d.status = rx.status;
    d.accepted = rx.accepted;
    d.text.assign(reinterpret_cast<const char*>(rx.text), rx.DeliveredTextLength());
    d.receivedBcc = rx.receivedBcc;
    d.computedBcc = rx.computedBcc;
    // The text is always NUL-terminated at delivery.
    EXPECT_EQ(rx.text[rx.DeliveredTextLength()], 0);
    EXPECT_NE(rx.messageReady, rx.responseReady);
    // What the consumer does after handling a frame.
    rx.messageReady = rx.responseReady = false;
    rx.accepted = true;
    return d;
}

std::vector<Delivered> ByteByByte(Receiver& rx, const Bytes& stream) {
    std::vector<Delivered> frames;
    for (std::uint8_t b : stream) {
        rx.ReceiveByte(b);
        if (rx.FrameReady()) frames.push_back(Take(rx));
    }
    return frames;
}

std::vector<Delivered> ByteByByte(const Bytes& stream) {
    auto rx = std::make_unique<Receiver>();
    return ByteByByte(*rx, stream);
}

// Feeds the stream in chunks whose sizes come from `nextSize`, the way a driver delivers it.
template <typename NextSize>
std::vector<Delivered> Chunked(const Bytes& stream, NextSize nextSize) {
    auto rx = std::make_unique<Receiver>();
    std::vector<Delivered> frames;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        std::size_t end = std::min(stream.size(), pos + nextSize());
        while (pos < end) {
            pos += rx->Feed(stream.data() + pos, end - pos);
            if (rx->FrameReady()) frames.push_back(Take(*rx));
        }
    }
    return frames;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(Receiver, IntactFramesOfBothKinds) {
    const auto frames = ByteByByte(Concat({Str("junk\r"), frame_stream::Frame('A', 0, "HI"),
                                           frame_stream::Frame('A', ctrl::ACK, "ok"),
                                           frame_stream::Frame('B', ctrl::NAK, "no")}));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (Delivered{false, 'A', 0, true, "HI", "210", "210"}));
    EXPECT_EQ(frames[1], (Delivered{true, 'A', 0, true, "ok", "027", "027"}));
    // NAK: status 1, not accepted, text kept.
    EXPECT_EQ(frames[2], (Delivered{true, 'B', 1, false, "no", "031", "031"}));
}

TEST(Receiver, ControlBytesInsideTheText) {
    // SOH, STX, CR and NUL are text; DLE ETX stores ETX; DLE DLE stores DLE.
    const std::string text("\x01\x02\r\0\x03\x10z", 7);
    const auto frames = ByteByByte(frame_stream::Frame('T', 0, text));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].text, text);
    EXPECT_EQ(frames[0].status, 0);
    EXPECT_TRUE(frames[0].accepted);
    EXPECT_EQ(frames[0].receivedBcc, frames[0].computedBcc);
}

TEST(Receiver, ErrorsAfterTheType) {
    // Bad byte after the type: status 5, empty text, no computed BCC, a message.
    // Bad byte after ACK: status 5 as well, a response.
    const auto frames =
        ByteByByte(Concat({Str("\x01" "AXtext\x03" "123\r"), Str("\x01" "B\x06X\r"),
                           Str("\x01" "C\x15X\r")}));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (Delivered{false, 'A', 5, false, "", "", ""}));
    EXPECT_EQ(frames[1], (Delivered{true, 'B', 5, false, "", "", ""}));
    EXPECT_EQ(frames[2], (Delivered{true, 'C', 5, false, "", "", ""}));
}

TEST(Receiver, FrameFailingAfterTypeIsAlwaysAMessage) {
    // Even right after a response, a frame without a valid start byte is a message.
    const auto frames = ByteByByte(
        Concat({frame_stream::Frame('A', ctrl::ACK, ""), Str("\x01" "A?\r")}));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].isResponse);
    EXPECT_FALSE(frames[1].isResponse);
    EXPECT_EQ(frames[1].status, 5);
}

TEST(Receiver, BlockCheckDigits) {
    // Missing digits are not an error.
    auto frames = ByteByByte(Str("\x01" "A\x02HI\x03\r\x01" "A\x02HI\x03" "2\r\x01" "A\x02HI\x03" "21\r"));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (Delivered{false, 'A', 0, true, "HI", "", "210"}));
    EXPECT_EQ(frames[1], (Delivered{false, 'A', 0, true, "HI", "2", "210"}));
    EXPECT_EQ(frames[2], (Delivered{false, 'A', 0, true, "HI", "21", "210"}));

    // A wrong digit is kept and ends the comparison; bytes up to the CR are dropped.
    frames = ByteByByte(Str("\x01" "A\x02HI\x03" "250\r\x01" "A\x02HI\x03" "\xB2" "10\r"));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (Delivered{false, 'A', 7, false, "HI", "25", "210"}));
    EXPECT_EQ(frames[1], (Delivered{false, 'A', 7, false, "HI", "\xB2", "210"}));

    // A byte other than CR after three good digits: status stays 0, not accepted.
    frames = ByteByByte(Str("\x01" "A\x02HI\x03" "210x\r"));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Delivered{false, 'A', 0, false, "HI", "210", "210"}));

    // A NAK response that then fails its BCC ends with 7, the last code assigned.
    frames = ByteByByte(Str("\x01" "A\x15\x02HI\x03" "9\r"));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].status, 7);
    EXPECT_TRUE(frames[0].isResponse);
}

TEST(Receiver, TextLengthLimit) {
    // 511 bytes: fine. 512 bytes then ETX: the ETX is the 513th text byte, so status 9.
    const std::string t511(511, 'x'), t512(512, 'y'), t600(600, 'z');
    auto frames = ByteByByte(frame_stream::Frame('L', 0, t511));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].status, 0);
    EXPECT_EQ(frames[0].text, t511);

    frames = ByteByByte(frame_stream::Frame('L', 0, t512));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Delivered{false, 'L', 9, false, t512, "", ""}));

    // Escaped bytes count once each after unescaping; a DLE at the limit is caught too.
    std::string escaped(511, '\x10');
    frames = ByteByByte(frame_stream::Frame('L', 0, escaped));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].status, 0);
    frames = ByteByByte(frame_stream::Frame('L', 0, std::string(513, '\x03')));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].status, 9);
    EXPECT_EQ(frames[0].text, std::string(512, '\x03'));

    // The overlong frame is delivered at its CR with the first 512 bytes, then the next frame.
    frames = ByteByByte(Concat({frame_stream::Frame('L', 0, t600), frame_stream::Frame('M', 0, "")}));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].text, t600.substr(0, 512));
    EXPECT_EQ(frames[0].status, 9);
    EXPECT_EQ(frames[1], (Delivered{false, 'M', 0, true, "", "077", "077"}));
}

TEST(Receiver, LostCrMergesIntoTheNextFrame) {
    Bytes first = frame_stream::Frame('A', 0, "one");
    first.pop_back();  // CR lost
    const auto frames = ByteByByte(Concat({first, frame_stream::Frame('B', 0, "two")}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, 'A');
    EXPECT_EQ(frames[0].text, "one");
    EXPECT_EQ(frames[0].status, 0);
    EXPECT_FALSE(frames[0].accepted);
}

TEST(Receiver, PartialFrameWaitsAndFieldsStayUntilNextSoh) {
    Receiver rx;
    const Bytes frame = frame_stream::Frame('A', 0, "HI");
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) rx.ReceiveByte(frame[i]);
    EXPECT_FALSE(rx.FrameReady());
    EXPECT_EQ(rx.state, Receiver::WaitCr);
    rx.ReceiveByte(ctrl::CR);
    ASSERT_TRUE(rx.messageReady);
    EXPECT_EQ(rx.textLength, 3);  // counts the NUL at delivery
    rx.messageReady = false;
    for (char c : std::string("garbage\r")) rx.ReceiveByte(static_cast<std::uint8_t>(c));
    EXPECT_EQ(rx.state, Receiver::WaitSoh);
    EXPECT_STREQ(reinterpret_cast<const char*>(rx.text), "HI");
    EXPECT_STREQ(rx.computedBcc, "210");
}

TEST(Receiver, FeedStopsAtEachCompletedFrame) {
    Receiver rx;
    const Bytes two = Concat({frame_stream::Frame('A', 0, "x"), frame_stream::Frame('B', 0, "y")});
    const std::size_t used = rx.Feed(two.data(), two.size());
    EXPECT_EQ(used, 9u);
    EXPECT_TRUE(rx.messageReady);
    EXPECT_EQ(rx.frameType, 'A');
    // Until the consumer has taken it, the frame blocks further input.
    EXPECT_EQ(rx.Feed(two.data() + used, two.size() - used), 0u);
    Take(rx);
    EXPECT_EQ(rx.Feed(two.data() + used, two.size() - used), 9u);
    EXPECT_EQ(rx.frameType, 'B');
}

TEST(Receiver, NoAllocationPerByteOrFrame) {
    std::mt19937 rng(9);
    Bytes stream;
    frame_stream::Generate(rng, 500, {}, stream, nullptr);
    auto rx = std::make_unique<Receiver>();
    std::size_t frames = 0;
    const std::size_t before = AllocationCount();
    for (std::size_t pos = 0; pos < stream.size();) {
        pos += rx->Feed(stream.data() + pos, stream.size() - pos);
        if (rx->FrameReady()) {
            ++frames;
            rx->messageReady = rx->responseReady = false;
            rx->accepted = true;
        }
    }
    for (std::uint8_t b : stream) rx->ReceiveByte(b), rx->messageReady = rx->responseReady = false;
    EXPECT_EQ(AllocationCount(), before);
    EXPECT_GT(frames, 100u);
}

class ReceiverStream : public ::testing::TestWithParam<unsigned> {};

TEST_P(ReceiverStream, CleanStreamDeliversExactlyTheGeneratedFrames) {
    std::mt19937 rng(GetParam());
    Bytes stream;
    std::vector<Delivered> expected;
    frame_stream::Generate(rng, 400, {false, true, 600}, stream, &expected);
    EXPECT_EQ(ByteByByte(stream), expected);
    EXPECT_EQ(Chunked(stream, [&] { return std::size_t{1} + rng() % 300; }), expected);
}

TEST_P(ReceiverStream, ChunkingNeverChangesTheFrames) {
    std::mt19937 rng(GetParam());
    Bytes stream;
    frame_stream::Generate(rng, 2000, {}, stream, nullptr);
    const auto reference = ByteByByte(stream);
    ASSERT_GT(reference.size(), 1000u);

    // All codes that a receiver sets show up in the stream.
    std::vector<int> seen(12, 0);
    for (const auto& f : reference) seen.at(f.status)++;
    for (int code : {0, 1, 5, 7, 9}) EXPECT_GT(seen[code], 0) << code;

    EXPECT_EQ(Chunked(stream, [&] { return stream.size(); }), reference);
    EXPECT_EQ(Chunked(stream, [] { return std::size_t{1}; }), reference);
    std::mt19937 sizes(GetParam() * 7 + 1);
    EXPECT_EQ(Chunked(stream, [&] { return std::size_t{1} + sizes() % 64; }), reference);
    EXPECT_EQ(Chunked(stream, [&] { return std::size_t{1} + sizes() % 2048; }), reference);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReceiverStream, ::testing::Values(1u, 2u, 3u, 2026u));

}  // namespace
