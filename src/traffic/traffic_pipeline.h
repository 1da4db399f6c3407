#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

#include "traffic/traffic_monitor.h"
#include "traffic/traffic_tap.h"

// Runs the monitor on a thread of its own: every period it takes the tap's batch, cuts it into
// entries, counts them and logs them, and keeps the entries for the window to take. So neither
// the parsing nor the log's formatting cost the user-interface thread anything during a flood.
// Entries the window does not take in time are dropped, oldest first, beyond `bound`.
class TrafficPipeline {
public:
    static constexpr int kPeriodMs = 50;

    TrafficPipeline(TrafficTap& tap, std::size_t bound);
    ~TrafficPipeline();

    void Start();
    void Stop();
    // One round now, on the calling thread (tests; a link change that must not mix old and new).
    void ProcessNow();
    // Moves the entries made so far into `out` (cleared first), oldest first.
    void TakeReady(std::deque<TrafficBatch>& out);
    void SetBound(std::size_t bound);
    // Calls f(monitor) with the monitor to itself: statistics, log settings, link changes.
    template <class F>
    auto WithMonitor(F&& f) {
        std::lock_guard<std::mutex> guard(monitorLock_);
        return f(monitor_);
    }

private:
    void Run();
    void Round();  // with monitorLock_ held

    TrafficTap& tap_;
    std::mutex monitorLock_;
    TrafficMonitor monitor_;
    TrafficBatch batch_;
    std::mutex readyLock_;
    std::deque<TrafficBatch> ready_;
    std::size_t readyEntries_ = 0;
    std::size_t bound_;
    std::mutex runLock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};
