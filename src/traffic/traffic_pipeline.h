#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "traffic/traffic_monitor.h"
#include "traffic/traffic_tap.h"

// Runs the monitor on a thread of its own: when the tap has bytes it takes them, cuts them into
// entries, counts them and logs them, and keeps the entries for a view to take. So neither
// the parsing nor the log's formatting cost the link or the windows anything during a flood.
// The thread sleeps while nothing comes; under load it takes a round at most every few
// milliseconds, so each round is a batch. Entries a view does not take in time are dropped,
// oldest first, beyond `bound`; without a view none are kept.
class TrafficPipeline {
public:
    static constexpr int kMinPeriodMs = 5;

    TrafficPipeline(TrafficTap& tap, std::size_t bound);
    ~TrafficPipeline();

    // The thread; Start also lets the tap wake it.
    void Start();
    void Stop();
    // One round now, on the calling thread (tests; a link change that must not mix old and
    // new; the end of the program).
    void ProcessNow();
    // Entries are kept for a view from now on; `onReady` is called (on the pipeline's thread)
    // when entries are ready while none were waiting. An empty function: no view.
    void SetView(std::function<void()> onReady);
    // Moves the entries made so far into `out` (cleared first), oldest first.
    void TakeReady(std::deque<TrafficBatch>& out);
    void SetBound(std::size_t bound);
    // Calls f(monitor) with the monitor to itself: statistics, log settings, link changes.
    template <class F>
    auto WithMonitor(F&& f) {
        std::lock_guard<std::mutex> guard(monitorLock_);
        const PublishOnExit publish{*this};
        return f(monitor_);
    }
    // The statistics' counts as of the latest round: any thread, without waiting for a round.
    TrafficCounters Counters() const;

private:
    struct PublishOnExit {
        TrafficPipeline& pipeline;
        ~PublishOnExit() { pipeline.PublishCounters(); }
    };
    void PublishCounters();  // with monitorLock_ held
    void Run();
    void Wake();
    void Round();  // with monitorLock_ held

    TrafficTap& tap_;
    std::mutex monitorLock_;
    TrafficMonitor monitor_;
    TrafficBatch batch_;
    std::mutex readyLock_;
    std::deque<TrafficBatch> ready_;
    std::size_t readyEntries_ = 0;
    std::size_t bound_;
    std::function<void()> onReady_;  // under readyLock_
    bool viewNotified_ = false;
    std::mutex runLock_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool dataReady_ = false;
    std::thread thread_;
    mutable std::mutex countersLock_;
    TrafficCounters counters_;
};
