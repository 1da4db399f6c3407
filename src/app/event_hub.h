#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// One thing that happened, as the log writes it: numbered in order from 1, with its kind
// ("received", "answer", "send", "send-end", "status", "error", "link", "replies") and one
// JSON object holding "seq", "time", "kind" and the kind's own fields.
struct HubEvent {
    std::uint64_t seq = 0;
    std::string kind;
    std::string json;  // one line, no newline
};

// Fans every event out to the log and to the control API's event streams. Keeps the latest
// events so that a stream that reconnects can pick up where it left off. Thread-safe:
// published on the core's thread, read by the API's.
class EventHub {
public:
    using Listener = std::function<void(const HubEvent&)>;
    using Clock = std::function<std::int64_t()>;  // milliseconds since the epoch

    explicit EventHub(std::size_t keep = 10000, Clock clock = {});

    // Numbers the event, stamps its time and hands it to every listener, in order, before
    // the next one is published.
    void Publish(const std::string& kind, nlohmann::json fields);
    // Listeners are called under the hub's lock: they must not publish or subscribe.
    int Subscribe(Listener listener);
    void Unsubscribe(int token);

    // Kept events numbered after `seq`, at most `limit` of them, oldest first.
    std::vector<HubEvent> Since(std::uint64_t seq, std::size_t limit) const;
    std::uint64_t LastSeq() const;

private:
    mutable std::mutex lock_;
    std::size_t keep_;
    Clock clock_;
    std::uint64_t seq_ = 0;
    std::deque<HubEvent> kept_;
    std::vector<std::pair<int, Listener>> listeners_;
    int nextToken_ = 1;
};

// The local time of an epoch time in milliseconds: "2026-12-07T10:55:23.042+01:00".
std::string IsoTime(std::int64_t epochMs);
std::int64_t SystemMilliseconds();
