#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "drivers/connect_ramp.h"
#include "drivers/fleet_board.h"
#include "drivers/tcp_driver.h"

// How a fleet's devices reach the host, group by group (a group: the devices of one
// template). Plain values; the fleet file reader makes them.
struct FleetGroupLink {
    std::string name;
    std::string host;
    int port = 0;
    std::vector<std::string> sources;  // local addresses taken in turn; none: the system's choice
    double rate = 100;                 // connects a second
    ConnectRamp::Backoff backoff;
    std::uint32_t seed = 1;
    struct Member {
        std::uint32_t device = 0;
        bool neverConnect = false;  // fault profile: stays failed, never tries
        std::int32_t dropAfterS = 0;  // fault profile: each connection is reset after so long
    };
    std::vector<Member> members;
};

struct FleetLinkPlan {
    std::vector<FleetGroupLink> groups;
};

// Every device of the plan, connecting, in number order.
std::vector<DeviceStatus> FleetDevices(const FleetLinkPlan& plan);

// A TCP client of many connections: one per device of a fleet, each an origin of its own, so
// the engine's sessions carry the devices. Everything runs on the control thread's io_context:
// no thread and no timer per device. One timer serves the fleet's schedule (connects on the
// ramp, reconnects after their back-off, drops the fault profiles ask for); an idle connected
// device costs its socket's read wait and nothing else.
class FleetClient : public SerialTcpIpDriver {
public:
    // Raises SocketError when the fleet cannot start: a host that does not resolve, a source
    // that is not an address. Nothing is connected then.
    FleetClient(boost::asio::io_context& io, FleetLinkPlan plan, std::shared_ptr<FleetBoard> board,
                std::int32_t rxCapacity, std::int32_t txCapacity);
    ~FleetClient() override;

    void Close() override;
    void Flush() override;
    std::int32_t Open(const char* name) override;
    bool CanDeliver() override { return active_ && !live_.empty(); }

    std::size_t ConnectedCount() const { return live_.size(); }
    const std::shared_ptr<FleetBoard>& Board() const { return board_; }

private:
    struct Slot {
        std::size_t group = 0;
        FleetGroupLink::Member member;
        ConnectionPtr connection;  // connecting or up
        std::uint32_t failures = 0;
        std::string lastError;
    };
    enum class Job { Ready, Connect, Drop };
    struct Due {
        Job job;
        std::size_t slot;
        std::uint64_t connection;  // Drop: which one (a later one is not dropped early)
    };

    void Activate();
    void Schedule(std::int64_t dueUs, Due due);
    void ArmTimer();
    void RunDue();
    void Ready(std::size_t slot, std::int64_t nowUs);
    void StartConnect(std::size_t slot);
    void Failed(std::size_t slot, const std::string& error);
    void ConnectionClosed(const ConnectionPtr& connection) override;
    ConnectionPtr Destination(std::uint64_t origin) const override;
    std::vector<ConnectionPtr> Connections() const override;
    std::int64_t NowUs() const;
    std::int64_t WallMs() const;

    FleetLinkPlan plan_;
    std::shared_ptr<FleetBoard> board_;
    std::vector<boost::asio::ip::tcp::endpoint> hosts_;               // by group
    std::vector<std::vector<boost::asio::ip::address>> sources_;      // by group
    std::vector<ConnectRamp> ramps_;                                  // by group
    std::vector<Slot> slots_;                                         // in device number order
    std::map<std::uint64_t, std::size_t> live_;                       // connection id to slot, oldest first
    std::multimap<std::int64_t, Due> schedule_;                       // by due time (steady microseconds)
    boost::asio::steady_timer timer_;
    std::int64_t timerDueUs_ = -1;
};
