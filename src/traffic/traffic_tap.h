#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "base/flow_gate.h"
#include "base/traffic_sink.h"

// What a chunk of no line bytes marks (its bytes: the peer's address; the message's type and
// then the faults in words).
// FrameEnd: a frame the engine read ended; no bytes, its word in the chunk's frame fields.
enum class TapMark : std::uint8_t { None = 0, SessionOpened = 1, SessionEnded = 2, Faults = 3, FrameEnd = 4 };

// One run of bytes the engine read or wrote at one time: bytes [offset, offset + length) of
// the batch's byte store.
struct TapChunk {
    std::int64_t micros = 0;  // wall clock, microseconds since the epoch
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    Direction direction = Direction::Rx;
    bool loose = false;  // written outside the engine's frames: an entry (or a few) of its own
    bool note = false;   // not bytes of the line: what a fault did (its text)
    std::uint32_t session = 0;     // whose bytes; 0 for none
    TapMark mark = TapMark::None;  // not bytes of the line: a mark
    bool cut = false;  // a block the engine read: FrameEnd marks tell where its frames end
    // A FrameEnd mark: the frame's kind, type and status, and how many bytes of the session's
    // last block read come after it.
    FrameKind frameKind = FrameKind::Message;
    std::uint8_t type = 0;
    std::uint8_t status = 0;
    std::uint32_t rest = 0;
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
// buffers out. The bytes waiting are shown on a gauge of the link's flow gate, which holds the
// link back long before the capacity is reached; past the capacity (a link that cannot be
// held back) newer bytes are counted as dropped rather than letting memory grow.
class TrafficTap : public TrafficSink {
public:
    using Clock = std::function<std::int64_t()>;
    static std::int64_t WallMicros();

    // Without a clock, chunks are stamped with the processor's time-stamp counter (a third of
    // the cost of reading the wall clock, which matters once per answer) and Take turns the
    // stamps into wall-clock microseconds between two readings of both clocks. A given clock
    // (tests) is read directly.
    explicit TrafficTap(Clock clock = {}, std::size_t capacityBytes = 16u << 20);
    // Counter stamps turned into wall-clock times, with both clocks given (tests).
    struct CounterClocks {
        Clock counter;
        Clock wall;
    };
    explicit TrafficTap(CounterClocks clocks, std::size_t capacityBytes = 16u << 20);

    // Set before the engine records: the gauge of the bytes waiting, and what to call when
    // bytes arrive while none were waiting (the reader's wake-up; called outside the lock).
    void SetGauge(FlowGate::Gauge* gauge) { gauge_ = gauge; }
    void SetOnData(std::function<void()> onData) { onData_ = std::move(onData); }

    // Engine side (control thread).
    void Record(Direction direction, const std::uint8_t* data, std::size_t length,
                std::uint32_t session = 0) override;
    void RecordLoose(Direction direction, const std::uint8_t* data, std::size_t length,
                     std::uint32_t session = 0) override;
    void RecordRead(const std::uint8_t* data, std::size_t length, std::uint32_t session) override;
    void RecordFrameEnd(std::uint32_t session, std::uint32_t rest, FrameKind kind, std::uint8_t type,
                        std::uint8_t status) override;
    void RecordNote(Direction direction, std::string_view text) override;
    void RecordSession(std::uint32_t session, bool open, std::string_view peer,
                       Direction direction = Direction::Rx) override;
    void RecordFaults(std::uint32_t session, std::uint8_t type, std::string_view faults) override;
    // Reader side (one thread): swaps the collected batch into `out` (whose old contents are
    // cleared and whose buffers are kept for the next round, so no allocation happens in
    // steady state).
    void Take(TapBatch& out);
    // Bytes recorded over the tap's life, each way, dropped ones included.
    std::uint64_t TotalBytes(Direction direction);

private:
    std::int64_t Stamp() const;
    // Returns whether the batch was empty before.
    struct Kind {
        bool loose = false;
        bool note = false;
        std::uint32_t session = 0;
        TapMark mark = TapMark::None;
        bool cut = false;
    };
    void Add(Direction direction, const std::uint8_t* data, std::size_t length, Kind kind);
    bool RecordLocked(Direction direction, const std::uint8_t* data, std::size_t length, std::int64_t now, Kind kind);

    Clock clock_;
    bool counter_;  // stamps are counter readings (the processor's, or counterClock_)
    Clock counterClock_;  // given by a test; the processor's time-stamp counter otherwise
    Clock wall_ = WallMicros;
    std::size_t capacity_;
    std::mutex lock_;
    TapBatch pending_;
    std::uint64_t total_[2] = {0, 0};
    // The last block read was dropped (the tap was full): the frame ends told within it are
    // dropped too, or they would cut the block before it.
    bool readDropped_ = false;
    // The reader's last reading of both clocks, which the next batch's stamps count from.
    std::int64_t lastCounter_ = 0;
    std::int64_t lastMicros_ = 0;
    FlowGate::Gauge* gauge_ = nullptr;
    std::function<void()> onData_;
};
