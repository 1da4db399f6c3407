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
};
