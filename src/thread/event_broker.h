#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include <boost/scoped_ptr.hpp>

#include "thread/event_manager.h"

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

    void PostEvent(const Event& event);
    bool GetEvent(Event& out);

    // Gives a broker made without a notifier one (the control thread wakes itself with it).
    // Only before the broker is used from another thread: PostEvent reads it unlocked.
    void SetNotifier(Notifier window, std::uint32_t message);

private:
    boost::scoped_ptr<EventManager> queue_;
    boost::scoped_ptr<std::mutex> lock_;
    Notifier window_;
    std::uint32_t message_ = 0;
};
