#include "thread/event_broker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "thread/function_map.h"
#include "thread/locking_ptr.h"

namespace {

TEST(EventManager, FifoCopiesAndEmptyLeavesOutAlone) {
    EventManager queue;
    Event out{1, 2, 3, "unchanged"};
    EXPECT_FALSE(queue.GetEvent(out));
    EXPECT_EQ(out.text, "unchanged");
    EXPECT_EQ(out.id, 1);

    Event e{10015, 'A', 4, std::string("a\0b", 3)};
    EXPECT_EQ(queue.AddEvent(e), 1);
    e.text = "changed after posting";
    queue.AddEvent(Event{10017, 0, 1, ""});
    ASSERT_TRUE(queue.GetEvent(out));
    EXPECT_EQ(out.id, 10015);
    EXPECT_EQ(out.value, 'A');
    EXPECT_EQ(out.source, 4);
    EXPECT_EQ(out.text, std::string("a\0b", 3));
    ASSERT_TRUE(queue.GetEvent(out));
    EXPECT_EQ(out.id, 10017);
    EXPECT_TRUE(out.text.empty());
    EXPECT_FALSE(queue.GetEvent(out));
}

TEST(EventBroker, OneNotificationPerEventOldestFirst) {
    int notified = 0;
    std::uint32_t lastMessage = 0;
    EventBroker broker([&](std::uint32_t m) { ++notified; lastMessage = m; }, 2026);
    for (int i = 0; i < 3; ++i) broker.PostEvent(Event{10013, i, 1, "r"});
    EXPECT_EQ(notified, 3);
    EXPECT_EQ(lastMessage, 2026u);
    Event out;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(broker.GetEvent(out));
        EXPECT_EQ(out.value, i);
    }
    out.id = 42;
    EXPECT_FALSE(broker.GetEvent(out));
    EXPECT_EQ(out.id, 42);

    // Without a notifier, or with message 0, nothing is called.
    EventBroker plain;
    plain.PostEvent(Event{10015, 0, 0, ""});
    EventBroker zero([&](std::uint32_t) { ++notified; }, 0);
    zero.PostEvent(Event{10015, 0, 0, ""});
    EXPECT_EQ(notified, 3);
    EXPECT_TRUE(plain.GetEvent(out));
}

TEST(EventBroker, NotifierRunsAfterTheLockIsReleased) {
    // A notifier that reads the broker would deadlock if the lock were still held.
    EventBroker* self = nullptr;
    int seen = 0;
    EventBroker broker(
        [&](std::uint32_t) {
            Event e;
            if (self->GetEvent(e)) ++seen;
        },
        2026);
    self = &broker;
    broker.PostEvent(Event{1, 0, 0, ""});
    EXPECT_EQ(seen, 1);
}

// Two threads, each posting to the other through its own broker, as the windows and the
// control thread do: nothing lost, nothing reordered, one notification per event.
TEST(EventBroker, TwoThreadsExchangeManyEventsEachWay) {
    constexpr int kCount = 100000;
    std::atomic<int> toThreadNotes{0};
    std::atomic<int> toWindowNotes{0};
    EventBroker toThread;  // requests carry no notification
    EventBroker toWindow([&](std::uint32_t) { toWindowNotes.fetch_add(1, std::memory_order_relaxed); },
                         2026);
    EventBroker counted([&](std::uint32_t) { toThreadNotes.fetch_add(1, std::memory_order_relaxed); },
                        7);

    auto run = [&](EventBroker& out, EventBroker& in, int tag, int& received, bool& ordered) {
        int sent = 0;
        int expected = 0;
        ordered = true;
        Event e;
        while (sent < kCount || expected < kCount) {
            if (sent < kCount) {
                out.PostEvent(Event{tag, sent, tag, std::to_string(sent)});
                ++sent;
            }
            while (in.GetEvent(e)) {
                if (e.value != expected || e.text != std::to_string(expected)) ordered = false;
                ++expected;
            }
            if (sent == kCount && expected < kCount) std::this_thread::yield();
        }
        received = expected;
    };
    int receivedByWindow = 0, receivedByThread = 0;
    bool windowOrdered = false, threadOrdered = false;
    std::thread control(
        [&] { run(toWindow, counted, 2, receivedByThread, threadOrdered); });
    run(counted, toWindow, 1, receivedByWindow, windowOrdered);
    control.join();

    EXPECT_EQ(receivedByWindow, kCount);
    EXPECT_EQ(receivedByThread, kCount);
    EXPECT_TRUE(windowOrdered);
    EXPECT_TRUE(threadOrdered);
    EXPECT_EQ(toWindowNotes.load(), kCount);
    EXPECT_EQ(toThreadNotes.load(), kCount);
    Event e;
    EXPECT_FALSE(toThread.GetEvent(e));
}

TEST(LockingPtr, HoldsTheMutexForItsLifetime) {
    std::mutex mutex;
    EventManager queue;
    {
        LockingPtr<EventManager> locked(queue, mutex);
        locked->AddEvent(Event{});
        EXPECT_FALSE(mutex.try_lock());
    }
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
    EXPECT_EQ(queue.Size(), 1u);
}

struct Owner {
    std::string calls;
    std::int32_t First(Event* e) { calls += "first" + std::to_string(e->id) + ";"; return e->id; }
    std::int32_t Second(Event* e) { calls += "second;"; return e->id + 1; }
};

TEST(FunctionMap, FirstRegistrationWinsAndMissesReturnZero) {
    Owner owner;
    FunctionMap<Owner, int, Event> map(&owner);
    map.AddHandler(10011, &Owner::First);
    map.AddHandler(10012, &Owner::Second);
    map.AddHandler(10011, &Owner::Second);  // never called
    Event e{10011, 0, 0, ""};
    EXPECT_EQ(map.CallHandler(10011, &e), 10011);
    e.id = 10012;
    EXPECT_EQ(map.CallHandler(10012, &e), 10013);
    EXPECT_EQ(map.CallHandler(10015, &e), 0);
    EXPECT_EQ(owner.calls, "first10011;second;");

    FunctionMap<Owner, int, Event> orphan(nullptr);
    orphan.AddHandler(10011, &Owner::First);
    EXPECT_EQ(orphan.CallHandler(10011, &e), 0);
}

}  // namespace
