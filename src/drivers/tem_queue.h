#pragma once

#include <cstdint>
#include <new>

// Fixed-capacity circular queue. One slot always stays empty, so a queue of capacity n holds
// at most n - 1 values. Never grows; every operation is constant time.
template <typename T>
class TemQueue {
public:
    explicit TemQueue(std::int32_t capacity)
        : lastIndex(capacity - 1), capacity(capacity > 0 ? capacity : 0) {
        items = this->capacity > 0 ? new (std::nothrow) T[this->capacity] : nullptr;
        if (items == nullptr) this->capacity = 0;
        Clear();
    }
    TemQueue(const TemQueue&) = delete;
    TemQueue& operator=(const TemQueue&) = delete;
    virtual ~TemQueue() { delete[] items; }

    virtual std::int32_t Count() const { return head >= tail ? head - tail : capacity + head - tail; }
    virtual std::int32_t Free() const { return lastIndex - Count(); }
    virtual void Clear() { head = tail = 0; }
    virtual bool Put(const T& value) {
        if (capacity == 0 || Free() <= 0 || !InRange(head)) return false;
        items[head] = value;
        head = head == lastIndex ? 0 : head + 1;
        return true;
    }
    virtual bool Get(T& value) {
        if (Count() < 1 || !InRange(tail)) return false;
        value = items[tail];
        tail = tail == lastIndex ? 0 : tail + 1;
        return true;
    }

    std::int32_t lastIndex;
    std::int32_t capacity;
    std::int32_t head = 0;
    std::int32_t tail = 0;
    T* items = nullptr;

private:
    bool InRange(std::int32_t index) const { return index >= 0 && index < capacity; }
};
