#include "traffic/traffic_tap.h"

#include <chrono>
#include <utility>

std::int64_t TrafficTap::WallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TrafficTap::TrafficTap(Clock clock, std::size_t capacityBytes)
    : clock_(std::move(clock)), capacity_(capacityBytes) {
    pending_.chunks.reserve(1024);
    pending_.bytes.reserve(64 * 1024);
}

void TrafficTap::Record(Direction direction, const std::uint8_t* data, std::size_t length) {
    if (length == 0 || data == nullptr) return;
    total_[static_cast<int>(direction)].fetch_add(length, std::memory_order_relaxed);
    const std::int64_t now = clock_();
    std::lock_guard<std::mutex> guard(lock_);
    if (pending_.bytes.size() + length > capacity_) {
        pending_.droppedBytes += length;
        return;
    }
    // A write that follows a write of the same moment joins it: an answer leaves as one run
    // even when it was passed on in pieces.
    if (!pending_.chunks.empty()) {
        TapChunk& last = pending_.chunks.back();
        if (last.direction == direction && last.micros == now &&
            last.offset + last.length == pending_.bytes.size()) {
            pending_.bytes.insert(pending_.bytes.end(), data, data + length);
            last.length += static_cast<std::uint32_t>(length);
            return;
        }
    }
    pending_.chunks.push_back(TapChunk{now, static_cast<std::uint32_t>(pending_.bytes.size()),
                                       static_cast<std::uint32_t>(length), direction});
    pending_.bytes.insert(pending_.bytes.end(), data, data + length);
}

void TrafficTap::Take(TapBatch& out) {
    out.Clear();
    std::lock_guard<std::mutex> guard(lock_);
    std::swap(out, pending_);
}
