#include "traffic/traffic_pipeline.h"

#include <chrono>
#include <utility>

TrafficPipeline::TrafficPipeline(TrafficTap& tap, std::size_t bound) : tap_(tap), bound_(bound) {}

TrafficPipeline::~TrafficPipeline() {
    Stop();
}

void TrafficPipeline::Start() {
    if (thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(runLock_);
        stop_ = false;
    }
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

void TrafficPipeline::Run() {
    std::unique_lock<std::mutex> run(runLock_);
    while (!stop_) {
        wake_.wait_for(run, std::chrono::milliseconds(kPeriodMs), [this] { return stop_; });
        if (stop_) break;
        run.unlock();
        ProcessNow();
        run.lock();
    }
}

void TrafficPipeline::ProcessNow() {
    std::lock_guard<std::mutex> guard(monitorLock_);
    Round();
}

void TrafficPipeline::Round() {
    monitor_.Drain(tap_, batch_);
    if (batch_.entries.empty()) return;
    std::lock_guard<std::mutex> guard(readyLock_);
    readyEntries_ += batch_.entries.size();
    ready_.push_back(std::move(batch_));
    batch_ = TrafficBatch{};
    while (ready_.size() > 1 && readyEntries_ - ready_.front().entries.size() >= bound_) {
        readyEntries_ -= ready_.front().entries.size();
        ready_.pop_front();
    }
}

void TrafficPipeline::TakeReady(std::deque<TrafficBatch>& out) {
    out.clear();
    std::lock_guard<std::mutex> guard(readyLock_);
    out.swap(ready_);
    readyEntries_ = 0;
}

void TrafficPipeline::SetBound(std::size_t bound) {
    std::lock_guard<std::mutex> guard(readyLock_);
    bound_ = bound;
}
