#include "drivers/fleet_board.h"

#include <algorithm>

namespace {
constexpr const char* kStateNames[] = {"connecting", "up", "retrying", "failed"};
}

const char* DeviceStateName(DeviceState state) { return kStateNames[static_cast<int>(state)]; }

std::optional<DeviceState> DeviceStateFromName(std::string_view name) {
    for (int i = 0; i < 4; ++i)
        if (name == kStateNames[i]) return static_cast<DeviceState>(i);
    return std::nullopt;
}

FleetBoard::FleetBoard(std::vector<DeviceStatus> devices) : devices_(std::move(devices)) {
    std::sort(devices_.begin(), devices_.end(),
              [](const DeviceStatus& a, const DeviceStatus& b) { return a.number < b.number; });
}

std::vector<DeviceStatus> FleetBoard::Snapshot() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

std::size_t FleetBoard::IndexOf(std::uint32_t number) const {
    const auto it = std::lower_bound(devices_.begin(), devices_.end(), number,
                                     [](const DeviceStatus& d, std::uint32_t n) { return d.number < n; });
    return it != devices_.end() && it->number == number ? static_cast<std::size_t>(it - devices_.begin())
                                                        : devices_.size();
}

std::optional<DeviceStatus> FleetBoard::Find(std::uint32_t number) const {
    std::lock_guard lock(mutex_);
    const std::size_t index = IndexOf(number);
    if (index == devices_.size()) return std::nullopt;
    return devices_[index];
}

std::uint32_t FleetBoard::DeviceOf(std::uint64_t origin) const {
    std::lock_guard lock(mutex_);
    const auto it = byOrigin_.find(origin);
    return it == byOrigin_.end() ? 0 : devices_[it->second].number;
}

std::uint32_t FleetBoard::DeviceOfSession(std::uint32_t session) const {
    std::lock_guard lock(mutex_);
    const auto it = bySession_.find(session);
    return it == bySession_.end() ? 0 : devices_[it->second].number;
}

std::map<DeviceState, std::size_t> FleetBoard::Counts() const {
    std::map<DeviceState, std::size_t> counts;
    std::lock_guard lock(mutex_);
    for (const DeviceStatus& device : devices_) ++counts[device.state];
    return counts;
}

void FleetBoard::SetState(std::size_t index, DeviceState state, std::int64_t nowMs, const std::string& error) {
    std::lock_guard lock(mutex_);
    DeviceStatus& device = devices_.at(index);
    if (device.state != state) device.sinceMs = nowMs;
    device.state = state;
    if (!error.empty()) {
        device.lastError = error;
        if (state != DeviceState::Up) ++device.failures;
    }
}

void FleetBoard::SetUp(std::size_t index, std::uint64_t origin, const std::string& local, std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    DeviceStatus& device = devices_.at(index);
    device.state = DeviceState::Up;
    device.sinceMs = nowMs;
    device.origin = origin;
    device.localAddress = local;
    device.failures = 0;
    ++device.connects;
    byOrigin_[origin] = index;
}

void FleetBoard::SetDown(std::size_t index, std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    DeviceStatus& device = devices_.at(index);
    // Its session keeps naming it: session numbers are never reused, and the messages of an
    // ended session are still the device's.
    byOrigin_.erase(device.origin);
    device.origin = 0;
    device.session = 0;
    device.state = DeviceState::Retrying;
    device.sinceMs = nowMs;
    ++device.drops;
}

void FleetBoard::SetSession(std::uint64_t origin, std::uint32_t session) {
    std::lock_guard lock(mutex_);
    const auto it = byOrigin_.find(origin);
    if (it == byOrigin_.end()) return;
    devices_[it->second].session = session;
    bySession_[session] = it->second;
}

void FleetBoard::CountReceived(std::uint32_t number) {
    std::lock_guard lock(mutex_);
    if (const std::size_t index = IndexOf(number); index < devices_.size()) ++devices_[index].received;
}

void FleetBoard::CountSent(std::uint32_t number, std::uint64_t count) {
    std::lock_guard lock(mutex_);
    if (const std::size_t index = IndexOf(number); index < devices_.size()) devices_[index].sent += count;
}
