#include "traffic/traffic_pipeline.h"

#include <chrono>
#include <utility>

TrafficPipeline::TrafficPipeline(TrafficTap& tap, std::size_t bound) : tap_(tap), bound_(bound) {}

TrafficPipeline::~TrafficPipeline() {
    Stop();
    tap_.SetOnData({});
}

void TrafficPipeline::Start() {
    if (thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(runLock_);
        stop_ = false;
        dataReady_ = true;  // whatever came before the start
    }
    tap_.SetOnData([this] { Wake(); });
    thread_ = std::thread([this] { Run(); });
}

void TrafficPipeline::Stop() {
    {
        std::lock_guard<std::mutex> guard(runLock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void TrafficPipeline::Wake() {
    {
        std::lock_guard<std::mutex> guard(runLock_);
        dataReady_ = true;
    }
    wake_.notify_one();
}

void TrafficPipeline::Run() {
    std::unique_lock<std::mutex> run(runLock_);
    while (!stop_) {
        wake_.wait(run, [this] { return stop_ || dataReady_; });
        if (stop_) break;
        dataReady_ = false;
        run.unlock();
        ProcessNow();
        run.lock();
        // A breath before the next round, so that a flood is taken in batches. What arrives
        // meanwhile marks dataReady_ and is taken after it.
        wake_.wait_for(run, std::chrono::milliseconds(kMinPeriodMs), [this] { return stop_; });
    }
}

void TrafficPipeline::ProcessNow() {
    std::lock_guard<std::mutex> guard(monitorLock_);
    Round();
    PublishCounters();
}

void TrafficPipeline::PublishCounters() {
    TrafficCounters counters = monitor_.stats.Counters();
    std::lock_guard<std::mutex> guard(countersLock_);
    counters_ = std::move(counters);
}

TrafficCounters TrafficPipeline::Counters() const {
    std::lock_guard<std::mutex> guard(countersLock_);
    return counters_;
}

void TrafficPipeline::Round() {
    monitor_.Drain(tap_, batch_);
    if (batch_.entries.empty()) return;
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> guard(readyLock_);
        if (!onReady_) {
            batch_.Clear();
            return;
        }
        readyEntries_ += batch_.entries.size();
        ready_.push_back(std::move(batch_));
        batch_ = TrafficBatch{};
        while (ready_.size() > 1 && readyEntries_ - ready_.front().entries.size() >= bound_) {
            readyEntries_ -= ready_.front().entries.size();
            ready_.pop_front();
        }
        if (!viewNotified_) {
            viewNotified_ = true;
            notify = onReady_;
        }
    }
    if (notify) notify();
}

void TrafficPipeline::SetView(std::function<void()> onReady) {
    std::lock_guard<std::mutex> guard(readyLock_);
    onReady_ = std::move(onReady);
    viewNotified_ = false;
    if (!onReady_) {
        ready_.clear();
        readyEntries_ = 0;
    }
}

void TrafficPipeline::TakeReady(std::deque<TrafficBatch>& out) {
    out.clear();
    std::lock_guard<std::mutex> guard(readyLock_);
    out.swap(ready_);
    readyEntries_ = 0;
    viewNotified_ = false;
}

void TrafficPipeline::SetBound(std::size_t bound) {
    std::lock_guard<std::mutex> guard(readyLock_);
    bound_ = bound;
}
