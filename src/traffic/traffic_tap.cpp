#include "traffic/traffic_tap.h"

#include <chrono>
#include <cmath>
#include <string>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define VANTOR_HAVE_TSC 1
#endif

std::int64_t TrafficTap::WallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TrafficTap::TrafficTap(Clock clock, std::size_t capacityBytes)
    : clock_(std::move(clock)), capacity_(capacityBytes) {
#ifdef VANTOR_HAVE_TSC
    counter_ = !clock_;
#else
    counter_ = false;
    if (!clock_) clock_ = WallMicros;
#endif
    pending_.chunks.reserve(1024);
    pending_.bytes.reserve(64 * 1024);
    if (counter_) {
        lastCounter_ = Stamp();
        lastMicros_ = wall_();
    }
}

TrafficTap::TrafficTap(CounterClocks clocks, std::size_t capacityBytes)
    : counter_(true),
      counterClock_(std::move(clocks.counter)),
      wall_(std::move(clocks.wall)),
      capacity_(capacityBytes) {
    pending_.chunks.reserve(1024);
    pending_.bytes.reserve(64 * 1024);
    lastCounter_ = Stamp();
    lastMicros_ = wall_();
}

std::int64_t TrafficTap::Stamp() const {
    if (counterClock_) return counterClock_();
#ifdef VANTOR_HAVE_TSC
    if (counter_) return static_cast<std::int64_t>(__rdtsc());
#endif
    return clock_();
}

std::uint64_t TrafficTap::TotalBytes(Direction direction) {
    std::lock_guard<std::mutex> guard(lock_);
    return total_[static_cast<int>(direction)];
}

void TrafficTap::Record(Direction direction, const std::uint8_t* data, std::size_t length, std::uint32_t session) {
    Add(direction, data, length, Kind{false, false, session});
}

void TrafficTap::RecordLoose(Direction direction, const std::uint8_t* data, std::size_t length,
                             std::uint32_t session) {
    Add(direction, data, length, Kind{true, false, session});
}

void TrafficTap::RecordRead(const std::uint8_t* data, std::size_t length, std::uint32_t session) {
    Kind kind{false, false, session};
    kind.cut = true;
    Add(Direction::Rx, data, length, kind);
}

void TrafficTap::RecordFrameEnd(std::uint32_t session, std::uint32_t rest, FrameKind kind, std::uint8_t type,
                                std::uint8_t status) {
    const std::int64_t now = Stamp();
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (readDropped_) return;
        first = pending_.chunks.empty() && pending_.droppedBytes == 0;
        TapChunk chunk;
        chunk.micros = now;
        chunk.offset = static_cast<std::uint32_t>(pending_.bytes.size());
        chunk.session = session;
        chunk.mark = TapMark::FrameEnd;
        chunk.frameKind = kind;
        chunk.type = type;
        chunk.status = status;
        chunk.rest = rest;
        pending_.chunks.push_back(chunk);
    }
    if (first && onData_) onData_();
}

void TrafficTap::RecordNote(Direction direction, std::string_view text) {
    Add(direction, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), Kind{true, true});
}

void TrafficTap::RecordSession(std::uint32_t session, bool open, std::string_view peer, Direction direction) {
    Add(direction, reinterpret_cast<const std::uint8_t*>(peer.data()), peer.size(),
        Kind{false, false, session, open ? TapMark::SessionOpened : TapMark::SessionEnded});
}

void TrafficTap::RecordFaults(std::uint32_t session, std::uint8_t type, std::string_view faults) {
    std::string mark(1, static_cast<char>(type));
    mark += faults;
    Add(Direction::Rx, reinterpret_cast<const std::uint8_t*>(mark.data()), mark.size(),
        Kind{false, false, session, TapMark::Faults});
}

void TrafficTap::Add(Direction direction, const std::uint8_t* data, std::size_t length, Kind kind) {
    if ((length == 0 || data == nullptr) && kind.mark == TapMark::None) return;
    if (data == nullptr) length = 0;
    const std::int64_t now = Stamp();
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        first = RecordLocked(direction, data, length, now, kind);
        // Under the lock, so that a Take in between cannot count these bytes down first.
        if (gauge_ != nullptr) gauge_->Add(length);
    }
    if (first && onData_) onData_();
}

bool TrafficTap::RecordLocked(Direction direction, const std::uint8_t* data, std::size_t length, std::int64_t now,
                              Kind kind) {
    const bool line = !kind.note && kind.mark == TapMark::None;
    if (line) total_[static_cast<int>(direction)] += length;
    const bool first = pending_.chunks.empty() && pending_.droppedBytes == 0;
    // Marks are kept whatever the bytes (they are few and short): a session's end must not be
    // lost with them.
    if (line && pending_.bytes.size() + length > capacity_) {
        pending_.droppedBytes += length;
        if (kind.cut) readDropped_ = true;
        return first;
    }
    if (kind.cut) readDropped_ = false;
    // A write that follows a write of the same moment joins it: an answer leaves as one run
    // even when it was passed on in pieces.
    if (!pending_.chunks.empty() && line && !kind.loose && !kind.cut) {
        TapChunk& last = pending_.chunks.back();
        if (last.direction == direction && last.micros == now && !last.loose && !last.note &&
            last.mark == TapMark::None && !last.cut && last.session == kind.session &&
            last.offset + last.length == pending_.bytes.size()) {
            pending_.bytes.insert(pending_.bytes.end(), data, data + length);
            last.length += static_cast<std::uint32_t>(length);
            return first;
        }
    }
    TapChunk chunk{now, static_cast<std::uint32_t>(pending_.bytes.size()), static_cast<std::uint32_t>(length),
                   direction, kind.loose, kind.note, kind.session, kind.mark};
    chunk.cut = kind.cut;
    pending_.chunks.push_back(chunk);
    if (length > 0) pending_.bytes.insert(pending_.bytes.end(), data, data + length);
    return first;
}

void TrafficTap::Take(TapBatch& out) {
    out.Clear();
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::swap(out, pending_);
        // Counted down under the lock: a Record after it adds to the new level.
        if (gauge_ != nullptr) gauge_->Sub(out.bytes.size() + out.droppedBytes);
    }
    if (!counter_) return;
    // Every stamp taken lies between the last reading and this one: each becomes wall-clock
    // time in proportion, exact at both ends.
    const std::int64_t counter = Stamp();
    const std::int64_t micros = wall_();
    const double scale = counter > lastCounter_ ? static_cast<double>(micros - lastMicros_) /
                                                      static_cast<double>(counter - lastCounter_)
                                                : 0.0;
    for (TapChunk& chunk : out.chunks) {
        chunk.micros = lastMicros_ + std::llround(static_cast<double>(chunk.micros - lastCounter_) * scale);
    }
    lastCounter_ = counter;
    lastMicros_ = micros;
}
