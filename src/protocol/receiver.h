#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frame.h"

// Byte-at-a-time frame receiver. It checks a frame as it arrives and delivers every frame
// that reaches its CR, good or bad, by raising messageReady or responseReady. The consumer
// reads the outputs, clears the flag it handled and sets `accepted` back to true before
// feeding the next byte. No timer, no allocation: the text lives in a fixed buffer.
class Receiver {
public:
    enum State : std::uint8_t { WaitSoh, WaitType, WaitStart, WaitStx, Text, TextEscape, Bcc, WaitCr };

    // Text bytes kept per frame; the next byte of a longer text is a size error.
    static constexpr std::int32_t kMaxText = 512;

    void ReceiveByte(std::uint8_t byte) {
        // Plain text bytes are nearly all of the traffic: handle them here, inline.
        if (state == Text && textLength < kMaxText && byte != ctrl::ETX && byte != ctrl::DLE) {
            text[textLength++] = byte;
            sum = static_cast<std::uint8_t>(sum + byte);
            return;
        }
        ReceiveOther(byte);
    }

    // Feeds bytes until a frame completes or the input runs out and returns how many were
    // consumed. Gives exactly what calling ReceiveByte on each of them would, only faster.
    std::size_t Feed(const std::uint8_t* data, std::size_t length);

    bool FrameReady() const { return messageReady || responseReady; }
    // Length of the delivered text without its terminating NUL.
    std::int32_t DeliveredTextLength() const { return textLength > 0 ? textLength - 1 : 0; }

    State state = WaitSoh;
    std::uint8_t status = 0;
    bool accepted = true;
    bool isResponse = false;
    bool nak = false;  // a response whose code was NAK (its status may say worse)
    std::uint8_t frameType = 0;
    std::uint8_t text[1024] = {};
    std::int32_t textLength = 0;
    std::uint8_t sum = 0;
    char computedBcc[4] = {};
    char receivedBcc[4] = {};
    std::uint8_t digitIndex = 0;
    bool messageReady = false;
    bool responseReady = false;
    std::uint64_t strayBytes = 0;  // bytes that came outside any frame (waiting for an SOH)

private:
    void Fail(std::uint8_t code) {
        accepted = false;
        status = code;
        state = WaitCr;
    }
    void Complete();
    void ReceiveOther(std::uint8_t byte);
};
