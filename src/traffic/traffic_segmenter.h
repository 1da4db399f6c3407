#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/receiver.h"
#include "traffic/traffic_entry.h"

// Cuts one direction's byte stream into entries: whole frames and runs of bytes outside any
// frame. A frame cut over several reads becomes one entry, dated by its first byte. Bytes the
// engine read come with its word on where each frame ends (FeedCut, FrameEnded): its receiver
// decoded them once, and they are not decoded again. Other bytes (what the engine wrote, what
// the proxy passed on) are checked by the same receiver the engine uses.
class TrafficSegmenter {
public:
    // Bytes kept per entry; a longer frame or run keeps its first bytes only.
    static constexpr std::size_t kMaxEntryBytes = 4096;

    explicit TrafficSegmenter(Direction direction) : direction_(direction) {}

    // Appends the entries these bytes complete to `out`.
    void Feed(std::int64_t micros, const std::uint8_t* data, std::size_t length, TrafficBatch& out);
    // A block the engine read; its frames end where FrameEnded says. Whatever of the block
    // before is still untold is settled first: no frame of it ends in it any more.
    void FeedCut(std::int64_t micros, const std::uint8_t* data, std::size_t length, TrafficBatch& out);
    // The engine's frame ended `rest` bytes before the end of the block FeedCut got last.
    void FrameEnded(std::uint32_t rest, EntryKind kind, std::uint8_t type, std::uint8_t status, TrafficBatch& out);
    // Ends a run of bytes outside frames, so that it shows without waiting for the next frame.
    // A frame in progress is left to go on.
    void FlushStray(TrafficBatch& out);
    // Ends whatever is in progress, an unfinished frame included (as stray bytes), and starts
    // clean.
    void Finish(TrafficBatch& out);
    void Reset();

private:
    void Emit(EntryKind kind, std::uint8_t type, std::uint8_t status, TrafficBatch& out);
    void AddStray(std::int64_t micros, const std::uint8_t* data, std::size_t length, TrafficBatch& out);
    // Takes the block's bytes up to `upTo` as the engine's receiver had them: outside a frame
    // until an SOH, inside one from it on.
    void TakeBlock(std::size_t upTo, TrafficBatch& out);

    Direction direction_;
    Receiver receiver_;
    bool inFrame_ = false;
    std::int64_t start_ = 0;
    std::vector<std::uint8_t> current_;
    // The engine's last block read, from `blockPos_` on not yet told.
    std::vector<std::uint8_t> block_;
    std::size_t blockPos_ = 0;
    std::int64_t blockMicros_ = 0;
};

// Pairs answers with the messages they answer (the latest message the other way) and counts
// transmissions of the same message: an identical frame sent again before it was accepted is
// a repeat.
class TrafficCorrelator {
public:
    void Apply(TrafficEntry& entry, const std::uint8_t* bytes);
    void Reset();

private:
    struct LastMessage {
        bool present = false;
        bool accepted = false;
        std::int64_t micros = 0;
        std::uint8_t type = 0;
        std::uint8_t attempt = 0;
        std::vector<std::uint8_t> bytes;
    };
    LastMessage last_[2];
};
