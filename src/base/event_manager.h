#pragma once

#include <deque>

#include "base/event.h"

// First-in-first-out queue of events without a size limit. Not locked: the brokers lock
// around it, and the control thread's own queue is used by that thread alone.
class EventManager {
public:
    virtual ~EventManager() = default;

    int AddEvent(const Event& event);
    int AddEvent(Event&& event);
    // Moves the oldest event into `out`; false (and `out` untouched) when empty.
    bool GetEvent(Event& out);

    // Moves every event into `out` (which must be empty) at once.
    void TakeAll(std::deque<Event>& out) { out.swap(queue_); }

    bool Empty() const { return queue_.empty(); }
    std::size_t Size() const { return queue_.size(); }

private:
    std::deque<Event> queue_;
};
