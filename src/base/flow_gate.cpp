#include "base/flow_gate.h"

#include <chrono>
#include <stdexcept>

namespace {

std::int64_t SteadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void FlowGate::Gauge::Set(std::size_t level) {
    level_.store(level);
    if (level < mark_ / 2 + 1) gate_.Drained();
}

void FlowGate::Gauge::Sub(std::size_t amount) {
    std::size_t level = level_.load();
    while (!level_.compare_exchange_weak(level, level >= amount ? level - amount : 0)) {
    }
    const std::size_t now = level >= amount ? level - amount : 0;
    if (now < mark_ / 2 + 1) gate_.Drained();
}

FlowGate::Gauge& FlowGate::AddGauge(std::string reason, std::size_t mark) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::size_t n = count_.load();
    if (n == kMaxGauges) throw std::logic_error("FlowGate: too many gauges");
    gauges_[n] = std::make_unique<Gauge>(*this, std::move(reason), mark);
    count_.store(n + 1);
    return *gauges_[n];
}

void FlowGate::SetWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> guard(lock_);
    wake_ = std::move(wake);
}

bool FlowGate::AnyOver(const Gauge** which) const {
    const std::size_t n = count_.load();
    for (std::size_t i = 0; i < n; ++i) {
        if (gauges_[i]->Over()) {
            *which = gauges_[i].get();
            return true;
        }
    }
    return false;
}

bool FlowGate::MayRead() {
    if (closed_.load()) return false;
    const Gauge* over = nullptr;
    // Cheap in the common case: nothing is past its mark and nobody waits. A hold that a
    // drained queue ended (its wake cleared the wait) ends here.
    if (!waiting_.load() && !AnyOver(&over)) {
        if (held_.load()) EndHold();
        return true;
    }
    // Announce the wait before looking again: a queue that drains after this look sees it and
    // wakes the link; one that drained before is seen below.
    waiting_.store(true);
    if (!AnyOver(&over)) {
        waiting_.store(false);
        EndHold();
        return true;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (heldBy_ == nullptr) {
        heldSince_ = SteadyMicros();
        ++holds_;
        held_.store(true);
    }
    heldBy_ = over;
    return false;
}

void FlowGate::EndHold() {
    std::lock_guard<std::mutex> guard(lock_);
    if (heldBy_ != nullptr) {
        heldMicros_ += SteadyMicros() - heldSince_;
        heldBy_ = nullptr;
    }
    held_.store(false);
}

void FlowGate::Drained() {
    if (!waiting_.load() || !waiting_.exchange(false)) return;
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> guard(lock_);
        wake = wake_;
    }
    if (wake) wake();
}

void FlowGate::Close() {
    closed_.store(true);
}

std::string FlowGate::HeldBy() const {
    std::lock_guard<std::mutex> guard(lock_);
    return heldBy_ != nullptr ? heldBy_->Reason() : std::string();
}

std::int64_t FlowGate::HeldMicros() const {
    std::lock_guard<std::mutex> guard(lock_);
    return heldMicros_.load() + (heldBy_ != nullptr ? SteadyMicros() - heldSince_ : 0);
}

std::vector<FlowGate::Level> FlowGate::Levels() const {
    std::vector<Level> levels;
    const std::size_t n = count_.load();
    for (std::size_t i = 0; i < n; ++i)
        levels.push_back({gauges_[i]->Reason(), gauges_[i]->Level(), gauges_[i]->Mark()});
    return levels;
}
