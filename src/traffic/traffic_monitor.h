#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "traffic/traffic_log.h"
#include "traffic/traffic_segmenter.h"
#include "traffic/traffic_stats.h"
#include "traffic/traffic_tap.h"

// Something else that wants every batch the tap hands out, as it comes (a capture file): it
// is given each one before the batch is cut into entries, on the thread that takes them, and
// must not keep the caller waiting.
class TapConsumer {
public:
    virtual ~TapConsumer() = default;
    virtual void Take(const TapBatch& batch) = 0;
};

// Turns the tap's batches into entries, keeps the statistics and feeds the continuous log:
// everything a front end needs from the bytes on the wire, without a toolkit. Runs on the
// thread that takes the tap's batches.
class TrafficMonitor {
public:
    // A session's figures keep fewer latencies for the median than the aggregate: many peers
    // at once stay small.
    static constexpr std::size_t kSessionLatencyWindow = 1024;

    // Entries the batch's bytes completed go into `out` (cleared first), pairing and counting
    // done; they are logged when a log is open.
    void Process(const TapBatch& batch, TrafficBatch& out);
    // Takes what the tap holds and processes it.
    void Drain(TrafficTap& tap, TrafficBatch& out);

    // Starts logging to a new file (ending any log before); false with LogError() set when the
    // file cannot be opened.
    bool StartLog(const TrafficLogWriter::Options& options);
    void StopLog();
    bool Logging() const { return log_ != nullptr && !log_->Failed(); }
    // Why the log stopped; empty while it runs or when it was never started.
    std::string LogError() const { return log_ != nullptr ? log_->Error() : logError_; }
    TrafficLogWriter* Log() { return log_.get(); }

    // The batches go to `consumer` too from now on (null: to none).
    void SetConsumer(TapConsumer* consumer) { consumer_ = consumer; }

    // Every batch's entries go to `listener` too, once cut and paired (empty: to none): what a
    // replay compares with its recording.
    void SetEntryListener(std::function<void(const TrafficBatch&)> listener) { entryListener_ = std::move(listener); }

    // A new link: a frame cut off by the old one is not continued by the new one's bytes.
    void LinkReset();
    // Entries from now on passed through the proxy (any thread).
    void SetProxy(bool on) { proxy_.store(on, std::memory_order_relaxed); }

    TrafficStats stats;  // every session's together
    std::uint64_t droppedBytes = 0;  // the tap's overflow, summed

    // Sessions whose bytes are being cut (those that have not ended).
    std::size_t OpenStreams() const { return streams_.size(); }
    // One session's own figures while it is open; null for session 0 and for one that has
    // ended (its figures went with it).
    const TrafficStats* SessionStats(std::uint32_t session) const;
    // A transaction's outcome (TrafficStats::TransactionAccepted, ...), counted in the
    // aggregate and in its session's figures.
    void CountOutcome(std::uint32_t session, void (TrafficStats::*count)());
    // Clears the aggregate and every open session's figures.
    void ResetStats(std::int64_t now);

private:
    // Each session's bytes are cut and paired on their own: two peers' frames never join.
    struct Stream {
        TrafficSegmenter segmenters[2] = {TrafficSegmenter(Direction::Rx), TrafficSegmenter(Direction::Tx)};
        // For bytes written outside the engine's frames: cut on their own, ended with their write.
        TrafficSegmenter loose[2] = {TrafficSegmenter(Direction::Rx), TrafficSegmenter(Direction::Tx)};
        TrafficCorrelator correlator;
        TrafficStats stats{kSessionLatencyWindow};
    };
    Stream& StreamOf(std::uint32_t session);
    std::unordered_map<std::uint32_t, std::unique_ptr<Stream>> streams_;
    // The newest session seen: sessions are numbered in the order they begin, so one above it
    // has yet to show its bytes, and one at or below it that has no stream has ended.
    std::uint32_t newestSession_ = 0;
    std::uint32_t lastSession_ = 0;
    Stream* last_ = nullptr;
    // Through the proxy: the session whose bytes went each way last (a side's).
    std::uint32_t wayOwner_[2] = {0, 0};
    std::unique_ptr<TrafficLogWriter> log_;
    std::atomic<bool> proxy_{false};
    std::string logError_;
    TapBatch scratch_;
    TapConsumer* consumer_ = nullptr;
    std::function<void(const TrafficBatch&)> entryListener_;
};
