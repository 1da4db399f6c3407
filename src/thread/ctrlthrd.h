#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/scoped_ptr.hpp>

#include "base/event.h"
#include "base/link_state.h"
#include "settings/prefs.h"
#include "thread/device_manager.h"
#include "thread/event_broker.h"
#include "base/event_manager.h"
#include "thread/thread_wrapper.h"

class FleetBoard;
class FlowGate;
struct FleetLinkPlan;
class ProxyEngine;
class SerialDriver;
class TrafficSink;
class VantorProtocol;

// The control thread: owns the link (driver) and the protocol engine. It waits on its
// io_context and wakes at once for a socket notification, for bytes on the serial port and
// for a request from the windows; it then polls the devices until they have nothing left to
// do, passing every event from its own queue and every request on to the devices and to the
// windows. A steady 10 ms timer drives the steps that depend on the clock (time-outs, the
// service tick) while the engine has any; an idle link costs no wake-ups at all. Errors
// become event 10003.
class TControlThread : public TThread {
public:
    TControlThread(EventBroker* requestBroker, EventBroker* windowBroker,
                   const CommPrefs& settings, std::int32_t threadNumber);
    // Ends the thread if the owner has not, then deletes the devices (closing the link).
    ~TControlThread() override;

    boost::scoped_ptr<EventManager> threadQueue;
    boost::scoped_ptr<DeviceManager> devices;
    EventBroker* windowBroker;
    EventBroker* requestBroker;
    CommPrefs commSettings;
    SerialDriver* driver = nullptr;
    VantorProtocol* engine = nullptr;
    // Proxy mode (link type 4): side A's link and side B's, and the engine that passes bytes
    // between them; `driver` is then null and `engine` reads nothing.
    SerialDriver* sides[2] = {nullptr, nullptr};
    CommPrefs sideSettings[2];  // each side's settings as its link, for the link's state
    ProxyEngine* proxy = nullptr;
    std::int32_t threadNumber;
    // Set before the thread runs: the engine copies what it reads and writes into it.
    TrafficSink* trafficTap = nullptr;
    // Set before the thread runs: asked before every read of the link; while it says no, the
    // link is not read (a consumer of the events is behind, or the program ends).
    FlowGate* gate = nullptr;
    // The line faults every link opened gets; set before the thread runs, changed later by
    // event SetLineFaults.
    LineFaults lineFaults;
    // Proxy mode: side B's line faults (side A has `lineFaults`) and the frame faults; set
    // before the thread runs, changed later by events SetLineFaults and SetProxyFaults.
    LineFaults lineFaultsB;
    ProxyFaults proxyFaults;
    // Set before the thread runs: a fleet's devices are the link (whatever the settings'
    // kind), each connection a session of the engine; null: the link the settings describe.
    std::shared_ptr<const FleetLinkPlan> fleetLink;
    std::shared_ptr<FleetBoard> fleetBoard;

    // The settings record a 10008 text stands for (fields that are missing or not decimal
    // integers take their defaults; a field in double quotes may hold commas, inner quotes
    // doubled). The program itself posts the record (CommPrefs) rather than its text.
    static CommPrefs ParseCommSettings(std::string text);

protected:
    void Execute() override;

private:
    struct Wake;

    void OpenLink(const CommPrefs& settings);
    void CloseLinks();
    // A link of the kind the settings name (types 0 to 3) inside its line faults, or null with
    // `reason` set when it cannot be made or opened.
    SerialDriver* MakeLink(const CommPrefs& settings, const std::string& listenAddress, const LineFaults& faults,
                           std::string& reason);
    void OpenProxy(const CommPrefs& settings);
    // Opens one side of the proxy (0 A, 1 B) from the settings in use; CloseSide closes it.
    void OpenSide(int side);
    void CloseSide(int side);
    bool ProxyMode() const { return LinkCan(commSettings).proxy; }
    void HandleThreadEvent(Event& event);
    void ReportError(const std::string& text, std::int32_t id);
    // Polls and passes events on until nothing is left to do (or, in a flood, for a bounded
    // number of rounds, so that notifications waiting meanwhile get their turn).
    void Work();
    void ArmPassTimer();
    // The timers a round of work leaves behind: the 10 ms pass while the engine needs the
    // clock, and one for the engine's next scheduled fault (a delayed answer, say).
    void ArmTimers();
    void WatchSerialPort(SerialDriver* link);
    void ArmSerialWatch(boost::asio::posix::stream_descriptor* watch);
    // Stops watching `link` (null: every link).
    void StopSerialWatch(SerialDriver* link = nullptr);
    // Posts event LinkState to the windows when the link's state changed since the last report.
    void ReportLinkState();
    // Posts event ResponderReport when the engine's responder has news: at most every 20 ms,
    // the rest a little later (the states it entered keep their own times).
    void ReportResponder();

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    boost::asio::steady_timer passTimer_;
    bool passTimerArmed_ = false;
    boost::asio::steady_timer dueTimer_;
    std::optional<std::int64_t> dueArmedFor_;
    // Readiness of the serial ports' descriptors (borrowed from the drivers, never closed here):
    // the simulator's port, or the proxy's serial sides.
    struct SerialWatch {
        SerialDriver* link;
        std::unique_ptr<boost::asio::posix::stream_descriptor> watch;
    };
    std::vector<SerialWatch> serialWatches_;
    std::shared_ptr<Wake> wake_;
    boost::asio::steady_timer linkTimer_;
    bool linkTimerArmed_ = false;
    std::chrono::steady_clock::time_point linkCheckedAt_{};
    std::optional<LinkState> linkReported_;
    boost::asio::steady_timer responderTimer_;
    bool responderTimerArmed_ = false;
    std::chrono::steady_clock::time_point responderReportedAt_{};
    std::optional<ProxyTally> tallyReported_;
    bool quiesced_ = false;
    bool heldReported_ = false;
};
