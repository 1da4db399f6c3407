#include "base/event_manager.h"

#include <utility>

int EventManager::AddEvent(const Event& event) {
    queue_.push_back(event);
    return 1;
}

int EventManager::AddEvent(Event&& event) {
    queue_.push_back(std::move(event));
    return 1;
}

bool EventManager::GetEvent(Event& out) {
    if (queue_.empty()) return false;
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
}
