#include "thread/event_broker.h"

#include <utility>

#include "thread/locking_ptr.h"

EventBroker::EventBroker() : queue_(new EventManager), lock_(new std::mutex) {}

EventBroker::EventBroker(Notifier window, std::uint32_t message)
    : queue_(new EventManager), lock_(new std::mutex), window_(std::move(window)),
      message_(message) {}

void EventBroker::PostEvent(Event event) {
    if (!queue_ || !lock_) return;
    {
        LockingPtr<EventManager> queue(*queue_, *lock_);
        queue->AddEvent(std::move(event));
        if (gauge_ != nullptr) gauge_->Add(1);
    }
    if (window_ && message_ != 0) window_(message_);
}

bool EventBroker::GetEvent(Event& out) {
    if (!queue_ || !lock_) return false;
    LockingPtr<EventManager> queue(*queue_, *lock_);
    const bool taken = queue->GetEvent(out);
    if (taken && gauge_ != nullptr) gauge_->Set(queue->Size());
    return taken;
}

std::size_t EventBroker::GetEvents(std::deque<Event>& out, std::size_t limit) {
    if (!queue_ || !lock_) return 0;
    LockingPtr<EventManager> queue(*queue_, *lock_);
    std::size_t taken = 0;
    if (out.empty() && queue->Size() <= limit) {
        // All of them: the two queues change places, so the poster never waits on a copy.
        queue->TakeAll(out);
        taken = out.size();
    } else {
        Event event;
        while (taken < limit && queue->GetEvent(event)) {
            out.push_back(std::move(event));
            ++taken;
        }
    }
    if (gauge_ != nullptr) gauge_->Set(queue->Size());
    return taken;
}

std::size_t EventBroker::Size() const {
    if (!queue_ || !lock_) return 0;
    LockingPtr<EventManager> queue(*queue_, *lock_);
    return queue->Size();
}

void EventBroker::SetNotifier(Notifier window, std::uint32_t message) {
    window_ = std::move(window);
    message_ = message;
}
