#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include <boost/scoped_ptr.hpp>

#include "base/event_manager.h"
#include "base/flow_gate.h"

// A locked event queue between two threads. A broker made with a notifier calls it once
// for every event put in, after the lock is released; the owner's notifier must only
// schedule work on its own thread (the windows queue one handler call per event), never
// take the event itself.
class EventBroker {
public:
    using Notifier = std::function<void(std::uint32_t message)>;

    EventBroker();
    EventBroker(Notifier window, std::uint32_t message);
    virtual ~EventBroker() = default;

    EventBroker(const EventBroker&) = delete;
    EventBroker& operator=(const EventBroker&) = delete;

    void PostEvent(Event event);
    bool GetEvent(Event& out);
    // Moves up to `limit` of the oldest events to the end of `out` under one lock; how many.
    std::size_t GetEvents(std::deque<Event>& out, std::size_t limit);
    std::size_t Size() const;

    // Shows how many events wait on a gauge of the link's flow gate. Before the broker is
    // used from another thread.
    void SetGauge(FlowGate::Gauge* gauge) { gauge_ = gauge; }

    // Gives a broker made without a notifier one (the control thread wakes itself with it).
    // Only before the broker is used from another thread: PostEvent reads it unlocked.
    void SetNotifier(Notifier window, std::uint32_t message);

private:
    boost::scoped_ptr<EventManager> queue_;
    boost::scoped_ptr<std::mutex> lock_;
    FlowGate::Gauge* gauge_ = nullptr;
    Notifier window_;
    std::uint32_t message_ = 0;
};
