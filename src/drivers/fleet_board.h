#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Where each device of a fleet stands, written by the control thread (the driver connects,
// the engine's per-device responders count) and read by any other (the control API): the one
// place both meet, behind one lock held only to copy a few fields.
enum class DeviceState { Connecting, Up, Retrying, Failed };
const char* DeviceStateName(DeviceState state);
std::optional<DeviceState> DeviceStateFromName(std::string_view name);

struct DeviceStatus {
    std::uint32_t number = 0;  // the device's {id}
    std::string name;          // its name, {id} replaced
    std::string group;         // the template it came from
    DeviceState state = DeviceState::Connecting;
    std::uint64_t origin = 0;   // its connection while up (0: none)
    std::uint32_t session = 0;  // the engine's session of that connection (0: none)
    std::string localAddress;   // the source address:port of its connection
    std::uint32_t connects = 0;  // connections made
    std::uint32_t drops = 0;     // connections that ended
    std::uint32_t failures = 0;  // attempts that failed, in a row
    std::uint64_t received = 0;  // messages of the host
    std::uint64_t sent = 0;      // messages of its own queued
    std::string lastError;
    std::int64_t sinceMs = 0;  // wall clock, when it entered its state
};

class FleetBoard {
public:
    // The devices, in number order; numbers are unique.
    explicit FleetBoard(std::vector<DeviceStatus> devices);

    std::size_t Size() const { return devices_.size(); }
    std::vector<DeviceStatus> Snapshot() const;
    std::optional<DeviceStatus> Find(std::uint32_t number) const;
    // The device whose connection is `origin`; 0 for none.
    std::uint32_t DeviceOf(std::uint64_t origin) const;
    std::uint32_t DeviceOfSession(std::uint32_t session) const;
    // How many are in each state.
    std::map<DeviceState, std::size_t> Counts() const;

    // Writers (the control thread). `index` is the device's place in number order.
    void SetState(std::size_t index, DeviceState state, std::int64_t nowMs, const std::string& error = {});
    void SetUp(std::size_t index, std::uint64_t origin, const std::string& local, std::int64_t nowMs);
    void SetDown(std::size_t index, std::int64_t nowMs);
    void SetSession(std::uint64_t origin, std::uint32_t session);
    void CountReceived(std::uint32_t number);
    void CountSent(std::uint32_t number, std::uint64_t count);

private:
    std::size_t IndexOf(std::uint32_t number) const;  // Size() for none

    mutable std::mutex mutex_;
    std::vector<DeviceStatus> devices_;
    std::unordered_map<std::uint64_t, std::size_t> byOrigin_;
    std::unordered_map<std::uint32_t, std::size_t> bySession_;
};
