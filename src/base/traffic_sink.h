#pragma once

#include <cstddef>
#include <cstdint>

// Which way bytes went, seen from the simulator.
enum class Direction : std::uint8_t { Rx = 0, Tx = 1 };

// Where the engine copies every block it reads and every run of bytes it writes. The engine
// knows only this; the traffic service behind it (segmenter, statistics, logs, view) is not
// its business.
class TrafficSink {
public:
    virtual ~TrafficSink() = default;
    // Called on the link's thread; must not block.
    virtual void Record(Direction direction, const std::uint8_t* data, std::size_t length) = 0;
    // Bytes the engine writes outside its own frames (raw bytes, XOFF, XON): whatever they
    // hold ends with them, and the bytes around them are cut into frames as if they were not
    // there.
    virtual void RecordLoose(Direction direction, const std::uint8_t* data, std::size_t length) {
        Record(direction, data, length);
    }
};
