#pragma once

#include <mutex>

// Holds `mutex` for its own lifetime and gives access to `object` meanwhile: the only way
// the brokers touch their queues.
template <typename T>
class LockingPtr {
public:
    LockingPtr(T& object, std::mutex& mutex) : object_(object), lock_(mutex) {}
    LockingPtr(const LockingPtr&) = delete;
    LockingPtr& operator=(const LockingPtr&) = delete;

    T& operator*() const { return object_; }
    T* operator->() const { return &object_; }

private:
    T& object_;
    std::lock_guard<std::mutex> lock_;
};
