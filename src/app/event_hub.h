#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/flow_gate.h"
#include "text/json_text.h"

// One thing that happened, as the log writes it: numbered in order from 1, with its kind
// ("received", "answer", "send", "send-end", "status", "error", "link", "replies", ...) and
// one JSON object holding "seq", "time", "kind" and the kind's own fields.
struct HubEvent {
    std::uint64_t seq = 0;
    std::string kind;
    std::string json;  // one line, no newline
};

// Fans every event out to the log and to the control API's event streams, and keeps the
// latest events so that a stream that reconnects can pick up where it left off. Published on
// the core's thread (by the hundred thousand a second in a flood, so each event is written
// once, straight into a kept slot, with no allocation once the slots have grown); read by the
// API's thread. A hub that nobody reads (no log, no API) formats nothing at all.
//
// Streams register as readers: how far the slowest one is behind shows on a gauge of the
// link's flow gate, so that a stream that falls behind holds the link back (the kept events
// are its buffer) rather than missing events.
class EventHub {
public:
    using Listener = std::function<void(const HubEvent&)>;
    using Clock = std::function<std::int64_t()>;  // milliseconds since the epoch

    explicit EventHub(std::size_t keep = 10000, Clock clock = {});

    // Whether events are formatted and kept: on by default; the window without a log or an
    // API turns it off.
    void SetActive(bool active);
    bool Active() const { return active_; }

    // Numbers the event, stamps its time, lets `fields(JsonObjectWriter&)` write the kind's
    // own fields and hands it to every listener, in order, before the next one is published.
    template <class Fields>
    void Publish(std::string_view kind, Fields&& fields) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!active_) return;
        JsonObjectWriter line = Begin(kind);
        fields(line);
        line.End();
        Commit(kind);
    }
    // The same for the fields of a JSON object (events that are rare).
    void PublishJson(std::string_view kind, const nlohmann::json& fields);
    // Listeners are called under the hub's lock: they must not publish or subscribe.
    int Subscribe(Listener listener);
    void Unsubscribe(int token);

    // Calls `each` for the kept events numbered after `seq`, at most `limit`, oldest first,
    // under the hub's lock; returns how many.
    std::size_t ForEachSince(std::uint64_t seq, std::size_t limit,
                             const std::function<void(const HubEvent&)>& each) const;
    std::vector<HubEvent> Since(std::uint64_t seq, std::size_t limit) const;

    // The gauge that shows the slowest reader's lag, in events.
    void SetLagGauge(FlowGate::Gauge* gauge);
    // A reader that has taken every event up to `seq`; returns its token.
    int AddReader(std::uint64_t seq);
    void ReaderAt(int reader, std::uint64_t seq);
    void RemoveReader(int reader);
    std::size_t Kept() const { return keep_; }
    // The same into `out`, whose strings keep their buffers from one call to the next: a
    // reader that comes back often copies without allocating, and holds the lock briefly.
    void CopySince(std::uint64_t seq, std::size_t limit, std::vector<HubEvent>& out) const;
    std::uint64_t LastSeq() const;
    // This run's own name: event numbers start at 1 in every run, so a reader that resumes
    // tells by it whether its last number is of this run.
    const std::string& RunId() const { return runId_; }
    // The oldest event still kept (LastSeq() + 1 when none is).
    std::uint64_t FirstKeptSeq() const;

private:
    void ShowLag();  // with lock_ held
    // With lock_ held: the event's first fields into scratch_, and scratch_ as the next event.
    JsonObjectWriter Begin(std::string_view kind);
    void Commit(std::string_view kind);

    mutable std::mutex lock_;
    const std::string runId_;
    std::size_t keep_;
    Clock clock_;
    bool active_ = true;
    std::uint64_t seq_ = 0;
    std::vector<HubEvent> ring_;  // slot seq % keep_
    std::size_t kept_ = 0;
    std::string scratch_;
    std::vector<std::pair<int, Listener>> listeners_;
    std::vector<std::pair<int, std::uint64_t>> readers_;
    FlowGate::Gauge* lag_ = nullptr;
    int nextToken_ = 1;
};
