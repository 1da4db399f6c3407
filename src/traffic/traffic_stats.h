#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "traffic/traffic_entry.h"

// Minimum, median, 99th percentile and maximum of a series of microsecond times. Minimum,
// maximum and count cover everything since the last reset; the median and the percentile the
// latest `window` values (kWindow unless told), so a run of hours stays bounded in memory.
class LatencySummary {
public:
    static constexpr std::size_t kWindow = 65536;
    struct Figures {
        std::uint64_t count = 0;
        std::int64_t min = 0, median = 0, p99 = 0, max = 0;
    };
    explicit LatencySummary(std::size_t window = kWindow) : window_(window == 0 ? 1 : window) {}
    void Add(std::int64_t micros);
    Figures Compute() const;
    void Reset();
    std::size_t Window() const { return window_; }

private:
    std::size_t window_;
    std::uint64_t count_ = 0;
    std::int64_t min_ = 0, max_ = 0;
    std::vector<std::int64_t> recent_;  // ring of the latest values
    std::size_t next_ = 0;
};

// Counts of a series of microsecond times in fixed buckets (upper bounds in microseconds, the
// last one unbounded), for a scraper that works out its own quantiles over any period.
struct LatencyHistogram {
    static constexpr std::array<std::int64_t, 14> kBoundsMicros = {
        50, 100, 250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 1000000, 5000000};
    void Add(std::int64_t micros);
    // Per bucket, not cumulative; the last one counts what is above every bound.
    std::array<std::uint64_t, kBoundsMicros.size() + 1> buckets{};
    std::uint64_t count = 0;
    std::int64_t sumMicros = 0;
};

// Frames by direction, kind (EntryKind), message type and frame status.
struct FrameKey {
    std::uint8_t direction, kind, type, status;
    auto operator<=>(const FrameKey&) const = default;
};
struct FrameCount {
    std::uint64_t frames = 0, bytes = 0;
};

// The plain counts of the statistics (no windows, no series): small enough to be copied for
// every reader of the metrics.
struct TrafficCounters {
    std::map<FrameKey, FrameCount> frames;
    std::uint64_t strayBytes[2] = {0, 0};
    std::array<std::uint64_t, 4> answers{};  // by TrafficStats::Answer
    std::uint64_t accepted = 0, rejected = 0, timedOut = 0, retransmissions = 0;
    std::uint64_t reconnects = 0;
    bool linkUp = false;
    LatencyHistogram answerLatency, roundTrip;
};

// Figures for the statistics panel, kept up to date from the traffic entries and the engine's
// transaction reports.
class TrafficStats {
public:
    // What the simulator did to an answer, as seen on the wire.
    enum Answer { AnswerNormal, AnswerNak, AnswerWrongType, AnswerWrongBcc, kAnswerKinds };
    static const char* AnswerText(int answer);
    // Seconds of history the per-second series keep.
    static constexpr std::size_t kSeriesSeconds = 600;

    TrafficStats() = default;
    // Medians and percentiles over the latest `latencyWindow` values: one session's figures
    // keep fewer, so that many peers at once stay small.
    explicit TrafficStats(std::size_t latencyWindow)
        : answerLatency(latencyWindow), roundTrip(latencyWindow) {}

    struct Second {
        std::int64_t second = 0;             // since the epoch
        std::uint32_t messages[2] = {0, 0};  // by Direction
        std::uint32_t latencyCount = 0;
        std::int64_t latencySum = 0;
        std::int64_t latencyMax = 0;
    };

    void Add(const TrafficEntry& entry);
    // One Second for every second from the first with traffic (at most `span` seconds before
    // `nowSecond`) to `nowSecond`: the seconds without traffic as zeros, none before the
    // first that had some.
    std::vector<Second> SecondsUpTo(std::int64_t nowSecond, std::int64_t span) const;
    void TransactionAccepted() { ++accepted; }
    void TransactionRejected() { ++rejected; }
    void TransactionTimedOut() { ++timedOut; }
    // An answer was not sent: the client that asked had gone.
    void AnswerDropped() { ++answersDropped; }
    // The link came up or went down (`micros` on the wall clock).
    void LinkChanged(bool up, std::int64_t micros);
    std::int64_t UpMicros(std::int64_t now) const;
    // Clears the counts; the link keeps its state (an open link counts up from now).
    void Reset(std::int64_t now);
    TrafficCounters Counters() const;

    std::map<std::uint8_t, std::uint64_t> receivedByType;
    std::array<std::uint64_t, kStatusCodeCount> receivedByStatus{};
    std::array<std::uint64_t, kAnswerKinds> answers{};
    std::uint64_t accepted = 0, rejected = 0, timedOut = 0, retransmissions = 0;
    std::uint64_t bytes[2] = {0, 0};
    std::uint64_t frames[2] = {0, 0};
    std::uint64_t strayBytes[2] = {0, 0};
    std::uint64_t reconnects = 0;
    std::uint64_t answersDropped = 0;
    LatencySummary answerLatency;  // the simulator's answers to received messages
    LatencySummary roundTrip;      // answers the other side gave to the simulator's messages
    std::deque<Second> series;     // oldest first, one per second that saw traffic

private:
    Second& SecondOf(std::int64_t micros);

    std::map<FrameKey, FrameCount> frameCounts_;
    LatencyHistogram answerHistogram_, roundTripHistogram_;

    bool linkUp_ = false;
    bool everUp_ = false;
    std::int64_t upSince_ = 0;
    std::int64_t upBefore_ = 0;  // up-time of earlier connections since the reset
};
