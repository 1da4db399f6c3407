#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Which way bytes went, seen from the simulator.
enum class Direction : std::uint8_t { Rx = 0, Tx = 1 };

// Which way bytes went through the proxy, between its side A and its side B.
enum class ProxyDirection : std::uint8_t { AtoB = 0, BtoA = 1 };

// The proxy stands where the simulator would stand in place of side B: what A sends is what
// the simulator would receive. So the traffic service cuts, pairs and counts the proxy's two
// directions as it does the simulator's own.
constexpr Direction TapDirection(ProxyDirection way) {
    return way == ProxyDirection::AtoB ? Direction::Rx : Direction::Tx;
}

// "A→B" or "B→A" (UTF-8): how every view names the proxy's ways.
constexpr const char* ProxyDirectionText(ProxyDirection way) {
    return way == ProxyDirection::AtoB ? "A\u2192B" : "B\u2192A";
}

// A frame's kind, as the engine's receiver took it.
enum class FrameKind : std::uint8_t { Message = 0, Ack = 1, Nak = 2 };

// Where the engine copies every block it reads and every run of bytes it writes. The engine
// knows only this; the traffic service behind it (segmenter, statistics, logs, view) is not
// its business.
class TrafficSink {
public:
    virtual ~TrafficSink() = default;
    // Called on the link's thread; must not block. `session`: whose bytes (0 for none).
    virtual void Record(Direction direction, const std::uint8_t* data, std::size_t length,
                        std::uint32_t session = 0) = 0;
    // A block the engine read, which it cuts into frames as it handles them: where each ends
    // it tells by RecordFrameEnd, so that nobody downstream decodes the bytes again.
    virtual void RecordRead(const std::uint8_t* data, std::size_t length, std::uint32_t session) {
        Record(Direction::Rx, data, length, session);
    }
    // A frame read ended `rest` bytes before the end of the last block RecordRead got (the rest
    // is still to be handled): its kind, type and status as the engine took them.
    virtual void RecordFrameEnd(std::uint32_t session, std::uint32_t rest, FrameKind kind, std::uint8_t type,
                                std::uint8_t status) {
        (void)session;
        (void)rest;
        (void)kind;
        (void)type;
        (void)status;
    }
    // Bytes the engine writes outside its own frames (raw bytes, XOFF, XON): whatever they
    // hold ends with them, and the bytes around them are cut into frames as if they were not
    // there.
    virtual void RecordLoose(Direction direction, const std::uint8_t* data, std::size_t length,
                             std::uint32_t session = 0) {
        Record(direction, data, length, session);
    }
    // What a fault did to the next bytes going this way (the proxy's "dropped", "bad BCC"):
    // shown among them, never counted as bytes on the line.
    virtual void RecordNote(Direction direction, std::string_view text) {
        (void)direction;
        (void)text;
    }
    // Marks among the bytes, never counted as bytes on the line: a session began (with the
    // other side's address) or ended; what the faults of the answer to the message of `type`
    // just read did ("delay 120 ms, twice"), told by the engine that injected them, so that
    // nobody downstream has to find the message again to say so.
    // `direction`: the way the session's bytes go when they go one way only (a proxy side's).
    virtual void RecordSession(std::uint32_t session, bool open, std::string_view peer,
                               Direction direction = Direction::Rx) {
        (void)session;
        (void)open;
        (void)peer;
        (void)direction;
    }
    virtual void RecordFaults(std::uint32_t session, std::uint8_t type, std::string_view faults) {
        (void)session;
        (void)type;
        (void)faults;
    }
};
