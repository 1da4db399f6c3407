#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// Which way bytes went, seen from the simulator.
enum class Direction : std::uint8_t { Rx = 0, Tx = 1 };

// One run of bytes the engine read or wrote at one time: bytes [offset, offset + length) of
// the batch's byte store.
struct TapChunk {
    std::int64_t micros = 0;  // wall clock, microseconds since the epoch
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    Direction direction = Direction::Rx;
};

// What the tap collected since it was last taken.
struct TapBatch {
    std::vector<TapChunk> chunks;
    std::vector<std::uint8_t> bytes;
    std::uint64_t droppedBytes = 0;  // bytes lost because nobody took them in time

    void Clear() {
        chunks.clear();
        bytes.clear();
        droppedBytes = 0;
    }
};

// Copies of the bytes the engine reads and writes, handed to another thread in batches. The
// engine records whole blocks (one call per read block or per write), so the cost is a lock
// and a copy per block and no allocation once the buffers have grown; the reader swaps the
// buffers out. When the reader falls behind by more than the capacity, newer bytes are counted
// as dropped rather than letting memory grow.
class TrafficTap {
public:
    using Clock = std::function<std::int64_t()>;
    static std::int64_t WallMicros();

    // Without a clock, chunks are stamped with the processor's time-stamp counter (a third of
    // the cost of reading the wall clock, which matters once per answer) and Take turns the
    // stamps into wall-clock microseconds between two readings of both clocks. A given clock
    // (tests) is read directly.
    explicit TrafficTap(Clock clock = {}, std::size_t capacityBytes = 16u << 20);

    // Engine side (control thread).
    void Record(Direction direction, const std::uint8_t* data, std::size_t length);
    // Reader side (one thread): swaps the collected batch into `out` (whose old contents are
    // cleared and whose buffers are kept for the next round, so no allocation happens in
    // steady state).
    void Take(TapBatch& out);
    // Bytes recorded over the tap's life, each way, dropped ones included.
    std::uint64_t TotalBytes(Direction direction);

private:
    std::int64_t Stamp() const;

    Clock clock_;
    bool counter_;  // stamps are time-stamp counter readings
    std::size_t capacity_;
    std::mutex lock_;
    TapBatch pending_;
    std::uint64_t total_[2] = {0, 0};
    // The reader's last reading of both clocks, which the next batch's stamps count from.
    std::int64_t lastCounter_ = 0;
    std::int64_t lastMicros_ = 0;
};
