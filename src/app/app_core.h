#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/event_hub.h"
#include "app/received_store.h"
#include "app/replay_service.h"
#include "app/scenario_service.h"
#include "app/send_runs.h"
#include "app/session_table.h"
#include "app/traffic_service.h"
#include "base/event.h"
#include "base/flow_gate.h"
#include "base/link_state.h"
#include "settings/prefs.h"
#include "settings/value_checks.h"
#include "thread/event_broker.h"

namespace fleet {
struct FleetShared;
}
class FleetBoard;
class JsonLog;
class Preferences;
class Scheduler;
class TControlThread;

// The one application core, in every mode: it owns the control thread (the link and the
// engine) and both brokers to it, the received messages, the send runs, the traffic service
// (statistics, traffic log, the entries of a traffic view), the event hub and the JSON log.
// The window and the control API are views over it and sources of commands to it; neither
// keeps a copy of anything here.
//
// Everything runs on the core's thread (the Scheduler's): it takes the control thread's
// events in batches, records each one (store, hub, logs) and tells a listening window. Every
// queue between the link and a consumer is bounded by the flow gate: when a consumer is
// behind, the link is not read until it has caught up, so nothing is answered that is not
// recorded. GetStatus is the one call safe from any thread.
class AppCore {
public:
    using Clock = std::function<std::int64_t()>;  // milliseconds since the epoch

    struct Options {
        Clock clock;                     // the system clock when empty
        TrafficTap::Clock trafficClock;  // the tap's own time stamps when empty
        // Create and run the control thread. Without it (tests) the caller plays the control
        // thread through ToThread() and ToWindow().
        bool runLink = true;
        // Format every event for the hub (a log or the control API reads it).
        bool events = true;
        std::string log;  // the JSON log: "" none, "-" stdout, else a file (created or emptied)
        // Events the hub keeps: for a stream to resume from, and the buffer of a stream that
        // falls behind (the link is held back while one is more than a quarter of it behind).
        std::size_t keptEvents = 65536;
        // Called once, on the log's writer thread, with the reason when a write to the JSON
        // log fails (the program tells its user at once).
        std::function<void(const std::string& reason)> onLogFailure;
        // Called on the core's thread with what went wrong with the link opened at start,
        // until it first connects: `lasting` when it could not be opened at all (an address in
        // use, no such device, no permission), which waiting will not mend; otherwise a
        // failure the link retries (a server not up yet). Not called for later reopens.
        std::function<void(const std::string& text, bool lasting)> onStartProblem;
        // The received list holding more than this many bytes is told once (a "listMemory"
        // event, Listener::listLarge), until the list is cleared or bounded.
        std::size_t listWarnBytes = std::size_t{1} << 30;
        // A fleet (--fleet): its devices are the link, each with its own behaviour; null: the
        // link the settings describe.
        std::shared_ptr<const fleet::FleetShared> fleet;
    };

    // What a window needs to hear; all called on the core's thread.
    struct Listener {
        std::function<void(const Event&)> event;  // every event from the control thread
        std::function<void()> messagesAdded;      // at the end of a batch that added some
        std::function<void(std::size_t count)> messagesDropping;  // the oldest go (bound)
        std::function<void()> messagesCleared;
        std::function<void(int row)> rowChanged;          // a row's run changed
        std::function<void(int row)> rowSettingsChanged;  // its texts were put from outside
        std::function<void(int row, const std::string& error)> rowError;
        std::function<void()> linkChanged;
        std::function<void()> trafficReady;  // entries wait for the view (any thread!)
        std::function<void()> captureChanged;  // started, stopped, or stopped on a failure
        std::function<void(std::size_t bytes)> listLarge;  // the list passed listWarnBytes
    };

    // Throws std::runtime_error when the JSON log cannot be opened.
    AppCore(Preferences& prefs, Scheduler& scheduler);
    AppCore(Preferences& prefs, Scheduler& scheduler, Options options);
    // Shuts down if that has not been done.
    ~AppCore();

    AppCore(const AppCore&) = delete;
    AppCore& operator=(const AppCore&) = delete;

    void SetListener(Listener listener);

    // Starts the link and hands the engine the reply actions; logs the link in use.
    void Start();
    // The end: stops reading the link, takes in everything read before (store, hub, logs,
    // traffic log, all written out), then ends the control thread. At most a few seconds
    // whatever the load; idempotent.
    void Shutdown();
    bool ShutDown() const { return shutDown_; }

    // Takes the events waiting from the control thread (a bounded batch; more are taken on a
    // later turn, so other work on the core's thread gets its turn). Returns how many.
    std::size_t TakeEvents();

    // The link settings; a change is posted to the control thread (which reopens the link)
    // and logged. Returns whether the settings changed.
    CommPrefs Link() const;
    bool ApplyLink(const CommPrefs& comm);
    // Posts the stored link settings to the control thread and logs them: for the window,
    // whose dialog has stored them already.
    void PostLink();
    // Acts on the link now, as the window's Link menu does (LinkActionCode); through the
    // proxy `args.side` may name the side a drop or a reconnect is for. Returns why it was
    // refused ("" when taken): bytes, a hold, a break or a drop with nobody connected would
    // otherwise wait for whoever connects next.
    std::string LinkAction(std::int32_t code, const LinkActionArgs& args = {});
    // "" when the link in use is of a kind that can do the action `code`, else why not.
    std::string CannotDo(std::int32_t code) const;
    // "" when the settings can be applied, else why not.
    static std::string CheckLink(const CommPrefs& comm);
    // The faults of the link's line (none: every byte as it is): stored and handed to the
    // control thread, which applies them now and to every link it opens later. "" when
    // applied, else the first value out of range and nothing changes.
    // Side 1 is the proxy's side B; side 0 the simulator's own link or the proxy's side A.
    LineFaults GetLineFaults(int side = 0) const;
    std::string ApplyLineFaults(const LineFaults& faults, int side = 0);
    // The frame faults the proxy injects: as the line faults, stored and handed over; "" when
    // applied, else the first value out of range and nothing changes.
    ProxyFaults GetProxyFaults() const;
    std::string ApplyProxyFaults(const ProxyFaults& faults);

    std::array<ReplyPrefs, kReplySlots> Replies() const;
    std::int32_t FaultSeed() const;
    // Stores the table (and the seed of its faults' draws) and hands it to the engine at once.
    void ApplyReplies(const std::array<ReplyPrefs, kReplySlots>& replies);
    void ApplyReplies(const std::array<ReplyPrefs, kReplySlots>& replies, std::int32_t seed);
    // Hands the stored table, faults and seed to the engine.
    void PostReplyActions();
    // The stored traffic settings changed: the list's bound, the traffic log.
    void ApplyTrafficSettings();
    // Applies what the preferences dialog edits of `chosen` (the link, the reply table and its
    // seed, the traffic settings, the line and proxy faults), each part handed on only when it
    // changed; the window's placement and the send rows stay as they are. Refuses it all, field
    // by field, when anything is out of its range (PreferencesRefusals): then nothing changes.
    std::vector<SettingRefusal> ApplyPreferences(const Prefs& chosen);

    SendPrefs Row(int row) const;
    void SetRow(int row, const SendPrefs& settings);
    // The window's Send, Stop and Batch Send.
    RowStart SendRow(int row);
    void StopRow(int row);
    struct BatchResult {
        int row;
        RowStart start;
    };
    // Every row with a type, in order; a count or delay that is not a number ends the batch.
    std::vector<BatchResult> BatchSend();
    // The rows BatchSend would start again while they still send (SendRuns::RowSending).
    std::vector<int> BatchRestarts() const;

    ReceivedStore& Messages() { return messages_; }
    const ReceivedStore& Messages() const { return messages_; }
    void ClearMessages();
    // Keeps the newest `count` received messages from now on (the list's bound, stored in the
    // traffic settings); "" when done, else why not.
    std::string KeepNewest(std::int32_t count);
    // A fresh start for a test: the received messages, the send runs, the statistics and the
    // counters of the reply faults (every Nth, the seeded draws) start again; the settings and
    // the link stay as they are.
    void Reset();
    // The window's Delete: messages at positions first..last.
    void RemoveMessages(std::size_t first, std::size_t last);
    // Messages that arrive from now on are listed with control characters by name.
    void SetShowNonPrintables(bool on) { showNames_ = on; }

    // A pcapng capture of the link from now on (--capture, POST /api/v1/capture, File >
    // Capture...): "" when it runs, else why not. A failure later (a full disk) stops it,
    // shows in its status and in a "capture" event; the link goes on.
    std::string StartCapture(const std::string& path, std::uint64_t rotateBytes = 0);
    void StopCapture();
    CaptureWriter::Status CaptureStatus() const { return traffic_.CaptureStatus(); }
    ReplayService& Replays() { return replay_; }

    EventHub& Hub() { return hub_; }
    SendRuns& Sends() { return sends_; }
    const SendRuns& Sends() const { return sends_; }
    // The open sessions (one per peer) and their counts.
    const SessionTable& Sessions() const { return sessions_; }
    // The fleet's devices as they stand (safe from any thread); null without a fleet.
    std::shared_ptr<const FleetBoard> Fleet() const;
    TrafficService& Traffic() { return traffic_; }
    ScenarioService& Scenarios() { return scenarios_; }
    // The core's clock: milliseconds since the epoch.
    std::int64_t Now() const { return clock_(); }
    const ScenarioService& Scenarios() const { return scenarios_; }
    FlowGate& Gate() { return gate_; }
    EventBroker& ToThread() { return toThread_; }
    EventBroker& ToWindow() { return toWindow_; }

    // What the status bar and GET /status show. Safe from any thread.
    struct Status {
        int linkType = 0;
        std::string linkSummary;
        std::string linkError;      // the latest 10003 / 10006 since the link was (re)opened
        std::int32_t engineStatus = -1;  // the latest frame status code, -1 before the first
        std::uint64_t received = 0;
        std::uint64_t listed = 0;
        std::uint64_t listMax = 0;  // the list's bound: the newest kept; 0 every one
        std::uint64_t answersDropped = 0;  // the client that asked had gone
        // Proxy mode: frames passed on each way and frames not delivered, since the start or
        // the last reset.
        ProxyTally proxy;
        LinkState link;             // as the control thread last reported it
        SendRuns::Counts sends;
        std::string heldBy;         // what holds the link back now; empty for nothing
        std::string logError;       // why the JSON log stopped; empty while it runs
        bool logging = false;       // a JSON log was asked for
        std::uint64_t logLostBytes = 0;  // bytes of lines the JSON log lost
        // What the metrics show besides: the traffic's counts, the faults the engine injected
        // by kind (bits of Injected, in bit order), the queues before the link.
        TrafficCounters traffic;
        std::array<std::uint64_t, Injected::kKinds> injected{};
        std::vector<FlowGate::Level> queues;
        std::uint64_t holds = 0;
        std::int64_t heldMicros = 0;
        // The scenario: its name ("" for none), state, the script's latest error, and the
        // expectations' verdicts.
        bool scenarioRunning = false;
        std::string scenario;
        std::string scenarioState;
        std::string scenarioError;
        bool judging = false;
        std::size_t expectPassed = 0, expectFailed = 0, expectPending = 0;
    };
    Status GetStatus() const;
    // Whether the JSON log lost anything (the program's exit code says so).
    bool LogLost() const;

private:
    void OnEvent(Event& event);
    void OnMessage(const ReceivedFrame& frame);
    void WarnListLarge();
    void ScheduleTake();
    void PostTake(int delayMs);
    void PublishStatus();
    void LogLink();

    Preferences& prefs_;
    Scheduler& scheduler_;
    Options options_;
    Clock clock_;
    // Declared in the order they must be built; the control thread, last, goes first.
    FlowGate gate_;
    FlowGate::Gauge& eventGauge_;
    EventHub hub_;
    EventBroker toThread_;
    EventBroker toWindow_;
    TrafficService traffic_;
    ReceivedStore messages_;
    SendRuns sends_;
    SessionTable sessions_;
    ScenarioService scenarios_;
    ReplayService replay_;
    bool inTurn_ = false;  // taking the control thread's events
    bool listWarned_ = false;  // the list's size was told
    std::unique_ptr<JsonLog> log_;
    std::unique_ptr<TControlThread> thread_;

    Listener listener_;
    std::deque<Event> batch_;
    std::atomic<bool> takeScheduled_{false};
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool started_ = false;
    bool shutDown_ = false;
    bool quiesced_ = false;
    bool showNames_ = false;

    LinkState link_;
    std::string linkError_;
    bool starting_ = true;  // the link opened at start has not yet connected, nor been replaced
    std::int32_t engineStatus_ = -1;
    std::uint64_t received_ = 0;
    std::array<std::uint64_t, Injected::kKinds> injected_{};
    std::uint64_t answersDropped_ = 0;
    ProxyTally proxyTally_;     // as the control thread last reported it
    ProxyTally proxyBaseline_;  // the same at the last reset

    mutable std::mutex statusLock_;
    Status status_;
};
