#include "thread/event_broker.h"

#include <utility>

#include "thread/locking_ptr.h"

EventBroker::EventBroker() : queue_(new EventManager), lock_(new std::mutex) {}

EventBroker::EventBroker(Notifier window, std::uint32_t message)
    : queue_(new EventManager), lock_(new std::mutex), window_(std::move(window)),
      message_(message) {}

void EventBroker::PostEvent(const Event& event) {
    if (!queue_ || !lock_) return;
    {
        LockingPtr<EventManager> queue(*queue_, *lock_);
        queue->AddEvent(event);
    }
    if (window_ && message_ != 0) window_(message_);
}

bool EventBroker::GetEvent(Event& out) {
    if (!queue_ || !lock_) return false;
    LockingPtr<EventManager> queue(*queue_, *lock_);
    return queue->GetEvent(out);
}

void EventBroker::SetNotifier(Notifier window, std::uint32_t message) {
    window_ = std::move(window);
    message_ = message;
}
