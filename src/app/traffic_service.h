#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/event.h"
#include "capture/capture_writer.h"
#include "base/flow_gate.h"
#include "settings/prefs.h"
#include "traffic/traffic_pipeline.h"
#include "traffic/traffic_tap.h"

// Everything that is made of the bytes on the wire, in every mode: the tap the engine copies
// into, the pipeline that cuts the bytes into entries on its own thread, the statistics and
// the continuous traffic log (as the settings say), and the entries for a traffic view when
// there is one. The tap and the log show on the link's flow gate, so neither can fall behind
// without the link being held back.
class TrafficService {
public:
    // Without a clock, the wall clock (and the tap's own time stamps).
    TrafficService(FlowGate& gate, const TrafficPrefs& prefs, TrafficTap::Clock clock = {});
    // Stops the pipeline (Finish should have run).
    ~TrafficService();

    TrafficSink& Sink() { return tap_; }
    TrafficTap& Tap() { return tap_; }

    // The pipeline's thread; before the link is read.
    void Start();
    // Takes what the tap still holds, writes it to the log, waits for the log's writes and
    // stops the pipeline: the end of the program.
    void Finish();

    // What the control thread reports: link changes and how transactions ended.
    void OnEvent(const Event& event);
    // The view's bound, and the log started, restarted or stopped as the settings say.
    void ApplySettings(const TrafficPrefs& prefs);

    // A view: `onReady` is called (on the pipeline's thread) when entries wait for it.
    void SetView(std::function<void()> onReady) { pipeline_.SetView(std::move(onReady)); }
    void TakeReady(std::deque<TrafficBatch>& out) { pipeline_.TakeReady(out); }
    // Every entry, as it is cut, goes to `listener` too, on the pipeline's thread (empty: none).
    void SetEntryListener(std::function<void(const TrafficBatch&)> listener) {
        pipeline_.WithMonitor([&](TrafficMonitor& m) { m.SetEntryListener(std::move(listener)); });
    }
    // Processes what the tap holds now (a view that must be up to date).
    void Drain() { pipeline_.ProcessNow(); }

    // The service's clock (wall-clock microseconds, or the one it was given).
    std::int64_t Now() const { return clock_(); }
    TrafficStats Stats();
    // One session's figures while it is open; none for session 0 or one that has ended.
    std::optional<TrafficStats> SessionStats(std::uint32_t session);
    // The statistics' counts; any thread, never waiting for the pipeline's round.
    TrafficCounters Counters() const { return pipeline_.Counters(); }
    void ResetStats();
    struct LogState {
        bool logging = false;
        std::string error;  // why it stopped; empty while it runs or when it is off
        std::string path;
    };
    LogState Log();
    std::uint64_t DroppedBytes();

    // A pcapng capture of everything on the wire from now on (see CaptureWriter): the front
    // ends' File > Capture..., --capture and POST /api/v1/capture. Starting one ends the one
    // running. Returns "" when it runs, else why it could not start. Core's thread.
    struct CaptureOptions {
        std::string path;
        std::uint64_t rotateBytes = 0;  // a new file before one passes this; 0 never
        std::int32_t keepFiles = 0;     // rotating: the newest this many files stay; 0 all
        // Called once, on the capture's own thread, with the message when it stops on a
        // failure (a full disk); the link goes on meanwhile.
        std::function<void(const std::string& message)> onFail;
    };
    std::string StartCapture(const CaptureOptions& options);
    // Writes what was recorded up to now and closes the file.
    void StopCapture();
    // Whether a capture runs, its file, its counts, and why it stopped; any thread.
    CaptureWriter::Status CaptureStatus() const;
    // The link's settings, for the description a capture gives of it (the port's line
    // settings are not in the link's state).
    void SetLinkSettings(const CommPrefs& comm);

private:
    // How a transaction ended, counted in the aggregate and in the figures of its session.
    void CountOutcome(const Event& event, void (TrafficStats::*count)());
    CaptureLink DescribeLink() const;
    void NoteLinkChanges(const LinkState& state);
    void NoteLinkAction(const Event& event);

    TrafficTap::Clock clock_;
    TrafficTap tap_;
    TrafficPipeline pipeline_;  // after the tap: it stops before the tap goes
    FlowGate::Gauge& logGauge_;
    TrafficPrefs prefs_;
    std::string linkWhere_;
    std::optional<LinkKind> linkKind_;
    bool finished_ = false;
    FlowGate::Gauge& captureGauge_;
    CommPrefs comm_;
    bool commKnown_ = false;
    std::optional<LinkState> lastLink_;
    mutable std::mutex captureLock_;  // guards the pointer for CaptureStatus from any thread
    std::unique_ptr<CaptureWriter> capture_;
};
