#include "drivers/fleet_client.h"

#include <algorithm>
#include <chrono>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

std::vector<DeviceStatus> FleetDevices(const FleetLinkPlan& plan) {
    std::vector<DeviceStatus> devices;
    for (const FleetGroupLink& group : plan.groups)
        for (const FleetGroupLink::Member& member : group.members) {
            DeviceStatus status;
            status.number = member.device;
            status.group = group.name;
            devices.push_back(std::move(status));
        }
    std::sort(devices.begin(), devices.end(),
              [](const DeviceStatus& a, const DeviceStatus& b) { return a.number < b.number; });
    return devices;
}

FleetClient::FleetClient(asio::io_context& io, FleetLinkPlan plan, std::shared_ptr<FleetBoard> board,
                         std::int32_t rxCapacity, std::int32_t txCapacity)
    : SerialTcpIpDriver(io, rxCapacity, txCapacity), plan_(std::move(plan)), board_(std::move(board)), timer_(io) {
    for (std::size_t group = 0; group < plan_.groups.size(); ++group)
        for (const FleetGroupLink::Member& member : plan_.groups[group].members)
            slots_.push_back(Slot{group, member, nullptr, 0, {}});
    std::sort(slots_.begin(), slots_.end(),
              [](const Slot& a, const Slot& b) { return a.member.device < b.member.device; });
    if (!board_ || board_->Size() != slots_.size())
        throw SocketError("The fleet's board does not list its devices");
    Activate();
}

FleetClient::~FleetClient() { Close(); }

std::int64_t FleetClient::NowUs() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t FleetClient::WallMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void FleetClient::Activate() {
    // Everything that can be found out before the first connect is: a fleet that cannot
    // start says why and connects nothing.
    hosts_.clear();
    sources_.clear();
    ramps_.clear();
    tcp::resolver resolver(io_);
    for (const FleetGroupLink& group : plan_.groups) {
        if (group.port <= 0 || group.port > 65535)
            throw SocketError(group.name + ": port " + std::to_string(group.port) + " is not a TCP port");
        boost::system::error_code error;
        const auto results = resolver.resolve(group.host, std::to_string(group.port), error);
        if (error || results.empty())
            throw SocketError(group.name + ": host '" + group.host + "': " +
                              SocketErrorText(error ? error : asio::error::host_not_found, "getaddrinfo"));
        hosts_.push_back(results.begin()->endpoint());
        std::vector<asio::ip::address> sources;
        for (const std::string& text : group.sources) {
            const auto address = asio::ip::make_address(text, error);
            if (error) throw SocketError(group.name + ": source '" + text + "' is not an IP address");
            if (address.is_v4() != hosts_.back().address().is_v4())
                throw SocketError(group.name + ": source '" + text + "' is not of the host's address family");
            sources.push_back(address);
        }
        sources_.push_back(std::move(sources));
        ramps_.emplace_back(group.rate, group.sources.size(), group.backoff, group.seed);
    }
    active_ = true;
    const std::int64_t now = NowUs();
    const std::int64_t wall = WallMs();
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        if (slots_[slot].member.neverConnect) {
            board_->SetState(slot, DeviceState::Failed, wall, "never connects (its fault profile)");
            continue;
        }
        board_->SetState(slot, DeviceState::Connecting, wall);
        Schedule(now, Due{Job::Ready, slot, 0});
    }
    ArmTimer();
}

void FleetClient::Schedule(std::int64_t dueUs, Due due) { schedule_.emplace(dueUs, due); }

void FleetClient::ArmTimer() {
    if (!active_ || schedule_.empty()) return;
    const std::int64_t due = schedule_.begin()->first;
    if (due == timerDueUs_) return;
    timerDueUs_ = due;
    timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::microseconds(due)));
    timer_.async_wait(Guarded([this](const boost::system::error_code& error) {
        if (error == asio::error::operation_aborted) return;
        timerDueUs_ = -1;
        RunDue();
    }));
}

void FleetClient::RunDue() {
    if (!active_) return;
    const std::int64_t now = NowUs();
    while (!schedule_.empty() && schedule_.begin()->first <= now) {
        const Due due = schedule_.begin()->second;
        schedule_.erase(schedule_.begin());
        Slot& slot = slots_[due.slot];
        switch (due.job) {
            case Job::Ready:
                Ready(due.slot, now);
                break;
            case Job::Connect:
                StartConnect(due.slot);
                break;
            case Job::Drop:
                if (slot.connection && slot.connection->id == due.connection && slot.connection->connected) {
                    // Reset, not closed: the host sees a device that fell off the network. A
                    // copy: closing forgets the slot's own.
                    // No shutdown first: a FIN would reach the host before the reset.
                    const ConnectionPtr connection = slot.connection;
                    boost::system::error_code ignored;
                    connection->socket.set_option(asio::socket_base::linger(true, 0), ignored);
                    connection->connected = false;
                    connection->socket.close(ignored);
                    ConnectionClosed(connection);
                    PeersChanged(connection->id, connection->peer, false);
                    ReportError("Device " + std::to_string(slot.member.device) + " reset (its fault profile)");
                }
                break;
        }
    }
    ArmTimer();
}

void FleetClient::Ready(std::size_t slot, std::int64_t nowUs) {
    const std::int64_t at = ramps_[slots_[slot].group].Reserve(nowUs);
    if (at <= nowUs) {
        StartConnect(slot);
    } else {
        Schedule(at, Due{Job::Connect, slot, 0});
    }
}

void FleetClient::StartConnect(std::size_t index) {
    Slot& slot = slots_[index];
    if (!active_ || slot.connection) return;
    auto connection = std::make_shared<TcpConnection>(io_);
    slot.connection = connection;
    board_->SetState(index, slot.failures == 0 ? DeviceState::Connecting : DeviceState::Retrying, WallMs());
    const tcp::endpoint& host = hosts_[slot.group];
    boost::system::error_code error;
    connection->socket.open(host.protocol(), error);
    if (error) {
        Failed(index, SocketErrorText(error, "socket"));
        return;
    }
    const auto& sources = sources_[slot.group];
    if (!sources.empty()) {
        // Each source has its own ephemeral ports: bound before connecting, the fleet is not
        // limited to one address's ports.
        const asio::ip::address& source = sources[ramps_[slot.group].NextSource()];
        connection->socket.bind(tcp::endpoint(source, 0), error);
        if (error) {
            Failed(index, SocketErrorText(error, "bind") + " (source " + source.to_string() + ")");
            return;
        }
    }
    connection->socket.async_connect(host, Guarded([this, index, connection](const boost::system::error_code& e) {
        Slot& current = slots_[index];
        if (e == asio::error::operation_aborted || current.connection != connection || !active_) return;
        if (e) {
            Failed(index, SocketErrorText(e, "connect"));
            return;
        }
        current.failures = 0;
        current.lastError.clear();
        boost::system::error_code ignored;
        const auto local = connection->socket.local_endpoint(ignored);
        // The board knows the device before the engine hears of the connection, so the
        // session it makes finds its device.
        board_->SetUp(index, connection->id, ignored ? std::string() : EndpointText(local), WallMs());
        live_[connection->id] = index;
        Connected(connection);
        if (current.member.dropAfterS > 0 && connection->connected) {
            Schedule(NowUs() + std::int64_t{current.member.dropAfterS} * 1000000, Due{Job::Drop, index, connection->id});
            ArmTimer();
        }
    }));
}

void FleetClient::Failed(std::size_t index, const std::string& error) {
    Slot& slot = slots_[index];
    if (slot.connection) {
        boost::system::error_code ignored;
        slot.connection->socket.close(ignored);
        slot.connection.reset();
    }
    ++slot.failures;
    board_->SetState(index, DeviceState::Retrying, WallMs(), error);
    // The same failure again and again (the host is down) is told once per device.
    if (error != slot.lastError) ReportError("Device " + std::to_string(slot.member.device) + ": " + error);
    slot.lastError = error;
    if (!active_) return;
    Schedule(NowUs() + ramps_[slot.group].RetryDelayUs(slot.failures), Due{Job::Ready, index, 0});
    ArmTimer();
}

void FleetClient::ConnectionClosed(const ConnectionPtr& connection) {
    const auto it = live_.find(connection->id);
    if (it == live_.end()) return;
    const std::size_t index = it->second;
    live_.erase(it);
    Slot& slot = slots_[index];
    if (slot.connection == connection) slot.connection.reset();
    board_->SetDown(index, WallMs());
    if (!active_) return;
    // A connection that ends is tried again after the first wait, then on the ramp.
    Schedule(NowUs() + ramps_[slot.group].RetryDelayUs(1), Due{Job::Ready, index, 0});
    ArmTimer();
}

SerialTcpIpDriver::ConnectionPtr FleetClient::Destination(std::uint64_t origin) const {
    if (origin == 0) return live_.empty() ? nullptr : slots_[live_.begin()->second].connection;
    const auto it = live_.find(origin);
    return it == live_.end() ? nullptr : slots_[it->second].connection;
}

std::vector<SerialTcpIpDriver::ConnectionPtr> FleetClient::Connections() const {
    std::vector<ConnectionPtr> open;
    open.reserve(live_.size());
    for (const auto& [id, slot] : live_) open.push_back(slots_[slot].connection);
    return open;
}

void FleetClient::Close() {
    if (!active_) return;
    active_ = false;
    timer_.cancel();
    timerDueUs_ = -1;
    schedule_.clear();
    const std::int64_t wall = WallMs();
    for (std::size_t index = 0; index < slots_.size(); ++index) {
        Slot& slot = slots_[index];
        if (!slot.connection) continue;
        const ConnectionPtr connection = slot.connection;
        if (connection->connected) {
            CloseConnection(connection);
        } else {
            boost::system::error_code ignored;
            connection->socket.close(ignored);  // ends a connect under way
        }
        slot.connection.reset();
        board_->SetState(index, DeviceState::Failed, wall, "the link was closed");
    }
}

void FleetClient::Flush() {
    if (txQueue.Count() > 0) SendQueued(nullptr);
}

std::int32_t FleetClient::Open(const char*) {
    if (!active_) Activate();
    return IsOpen() ? 1 : 0;
}
