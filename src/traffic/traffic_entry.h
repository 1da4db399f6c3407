#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "traffic/traffic_tap.h"

// Fault: not bytes of the line, but what a fault of the proxy did to the frame that follows
// (its text: "dropped", "bad BCC", ...).
enum class EntryKind : std::uint8_t { Message = 0, Ack = 1, Nak = 2, Stray = 3, Fault = 4 };
inline bool IsFrame(EntryKind kind) {
    return kind == EntryKind::Message || kind == EntryKind::Ack || kind == EntryKind::Nak;
}

// One frame or one run of bytes outside a frame. The bytes live in the batch (or the store)
// that holds the entry: [offset, offset + length).
struct TrafficEntry {
    std::int64_t micros = 0;    // when its first byte was read or written
    std::int64_t latency = -1;  // an answer: microseconds since the message it answers
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    Direction direction = Direction::Rx;
    EntryKind kind = EntryKind::Stray;
    std::uint8_t type = 0;
    std::uint8_t status = 0;        // frame status code (0 for stray bytes)
    std::uint8_t attempt = 0;       // a message: 1 for its first transmission, 2, 3 for repeats
    std::uint8_t answeredType = 0;  // an answer: the type of the message it answers, 0 unknown
    bool proxy = false;  // it passed through the proxy: Rx went from A to B, Tx from B to A
    std::uint32_t session = 0;  // the conversation it belongs to; 0 for none
};

// Entries with their bytes, in the order they completed.
struct TrafficBatch {
    std::vector<TrafficEntry> entries;
    std::vector<std::uint8_t> bytes;
    void Clear() {
        entries.clear();
        bytes.clear();
    }
};

// The parts of a frame for display: its text unescaped, both block checks.
struct FrameParts {
    std::string text;
    std::string receivedBcc;
    std::string computedBcc;
};
FrameParts DecodeFrame(const std::uint8_t* bytes, std::size_t length);

// Sixteen bytes a line: offset, hex, and the printable ones (others as '.').
std::string HexDump(const std::uint8_t* bytes, std::size_t length);

// "Rx" or "Tx"; through the proxy "A→B" or "B→A" (UTF-8).
const char* DirectionText(Direction direction, bool proxy = false);
const char* KindText(EntryKind kind);
