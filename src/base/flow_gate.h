#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Where every queue between the link and a consumer of what comes over it (the core's events,
// the traffic service, the logs) reports how full it is. The link's thread asks the gate
// before it reads: while any queue is past its mark it reads nothing, so the other side is
// held back by its flow control instead of the simulator answering messages it has not yet
// recorded. The queue that drains below half its mark wakes the link's thread again.
class FlowGate {
public:
    class Gauge {
    public:
        Gauge(FlowGate& gate, std::string reason, std::size_t mark)
            : gate_(gate), reason_(std::move(reason)), mark_(mark == 0 ? 1 : mark) {}
        // The queue's fill, set by whoever changes it (any thread).
        void Set(std::size_t level);
        void Add(std::size_t amount) { level_.fetch_add(amount); }
        void Sub(std::size_t amount);
        std::size_t Level() const { return level_.load(); }
        std::size_t Mark() const { return mark_; }
        bool Over() const { return level_.load() >= mark_; }
        const std::string& Reason() const { return reason_; }

    private:
        FlowGate& gate_;
        const std::string reason_;
        const std::size_t mark_;
        std::atomic<std::size_t> level_{0};
    };

    // A new queue to watch (at most 16); the reference stays valid for the gate's life.
    // `reason` is what the status says while this queue holds the link back.
    Gauge& AddGauge(std::string reason, std::size_t mark);

    // Called from any thread when the link may read again; set before the link's thread runs.
    void SetWake(std::function<void()> wake);

    // The link's thread, before it reads: true when it may. Otherwise the gate remembers
    // that the link waits and calls the wake function once a queue has drained.
    bool MayRead();

    // Closes the gate for good (the program ends): MayRead answers false from now on.
    void Close();
    bool Closed() const { return closed_.load(); }

    // What holds the link back now: empty while nothing does.
    std::string HeldBy() const;
    // Every queue's fill and mark, in the order they were added (any thread).
    struct Level {
        std::string reason;
        std::size_t level, mark;
    };
    std::vector<Level> Levels() const;
    // How often and for how long the link was held back so far.
    std::uint64_t HoldCount() const { return holds_.load(); }
    std::int64_t HeldMicros() const;

private:
    friend class Gauge;
    void Drained();
    void EndHold();
    bool AnyOver(const Gauge** which) const;

    static constexpr std::size_t kMaxGauges = 16;
    mutable std::mutex lock_;  // guards adding gauges, wake_ and heldBy_
    // Written once each, before count_ counts them, so the link's thread reads them unlocked.
    std::unique_ptr<Gauge> gauges_[kMaxGauges];
    std::atomic<std::size_t> count_{0};
    std::function<void()> wake_;
    std::atomic<bool> waiting_{false};
    std::atomic<bool> closed_{false};
    std::atomic<bool> held_{false};  // heldBy_ is set: the next read ends the hold
    const Gauge* heldBy_ = nullptr;
    std::int64_t heldSince_ = 0;  // steady microseconds
    std::atomic<std::int64_t> heldMicros_{0};
    std::atomic<std::uint64_t> holds_{0};
};
