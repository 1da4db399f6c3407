#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct Event;

// The open sessions (each the conversation with one peer) and what each has done, kept from
// the control thread's events for the views and the control API. Core thread only.
class SessionTable {
public:
    struct Counts {
        std::uint64_t received = 0;  // messages taken
        std::uint64_t answered = 0;  // of those, answered (something was written back)
        std::uint64_t errors = 0;    // of those, with a bad block check or cut short
        std::uint64_t faulted = 0;   // of those, with faults injected into the answer
        std::uint64_t sent = 0;      // our messages that ended (answered or not)
        std::uint64_t accepted = 0;
        std::uint64_t failed = 0;    // rejected or timed out
        bool operator==(const Counts&) const = default;
    };
    struct Row {
        std::uint32_t session = 0;
        std::string peer;
        std::int64_t sinceMicros = 0;  // wall clock, when it began
        Counts counts;
    };

    // Every event from the control thread; `where` names the link, for a session whose peer
    // the link cannot tell (a serial or virtual port).
    void OnEvent(const Event& event, const std::string& where);
    // The open sessions, in the order they began.
    std::vector<Row> Open() const;
    const Row* Find(std::uint32_t session) const;
    // Sessions begun since the table was made (or reset): a view shows which session a line
    // is of once there has been more than one.
    std::uint32_t Begun() const { return begun_; }
    bool SeveralBegun() const { return begun_ > 1; }
    // The first open session (where sends go by default); 0 for none.
    std::uint32_t First() const { return open_.empty() ? 0 : open_.begin()->first; }
    void Reset();

private:
    std::map<std::uint32_t, Row> open_;
    std::uint32_t begun_ = 0;
};
