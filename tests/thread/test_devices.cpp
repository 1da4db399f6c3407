#include "thread/device_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/event_manager.h"

namespace {

// Records polls, events and its own destruction into a shared log.
class LoggingDevice : public Device {
public:
    LoggingDevice(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}
    ~LoggingDevice() override { log_.push_back("delete " + name_); }
    void Poll() override {
        log_.push_back("poll " + name_);
        if (eventSink) eventSink->AddEvent(Event{10017, 0, 1, name_});
    }
    std::int32_t HandleEvent(const Event& event) override {
        log_.push_back(name_ + " got " + std::to_string(event.id));
        return event.id;
    }

private:
    std::string name_;
    std::vector<std::string>& log_;
};

TEST(DeviceManager, PollsDispatchesAndDeletesInListOrder) {
    std::vector<std::string> log;
    EventManager sink;
    {
        DeviceManager manager(&sink);
        Device* driver = manager.Add(new LoggingDevice("driver", log));
        manager.Add(new LoggingDevice("engine", log));
        EXPECT_EQ(driver->manager, &manager);
        EXPECT_EQ(driver->eventSink, &sink);
        manager.PollAll();
        EXPECT_EQ(manager.Dispatch(Event{10015, 0, 0, ""}), 10015);
        EXPECT_EQ(sink.Size(), 2u);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"poll driver", "poll engine", "driver got 10015",
                                             "engine got 10015", "delete driver",
                                             "delete engine"}));
}

TEST(DeviceManager, RemoveHandsBackWithoutDeleting) {
    std::vector<std::string> log;
    EventManager sink;
    DeviceManager manager(&sink);
    EXPECT_EQ(manager.Dispatch(Event{10010, 0, 0, ""}), 10010);  // empty list
    Device* driver = manager.Add(new LoggingDevice("driver", log));
    manager.Add(new LoggingDevice("engine", log));
    LoggingDevice stranger("stranger", log);
    EXPECT_EQ(manager.Remove(&stranger), nullptr);
    EXPECT_EQ(manager.Remove(driver), driver);
    EXPECT_EQ(driver->manager, &manager);  // left as it was
    delete driver;
    auto* replacement = manager.Add(new LoggingDevice("tcp", log));
    log.clear();
    manager.PollAll();
    EXPECT_EQ(log, (std::vector<std::string>{"poll engine", "poll tcp"}));
    EXPECT_EQ(replacement->eventSink, &sink);
}

TEST(TDoubleList, CursorRules) {
    int a = 1, b = 2, c = 3;
    struct NonOwning : TDoubleList<int> {
        ~NonOwning() {  // the items live on the stack here
            while (first) Remove(first->item);
        }
    } list;
    EXPECT_EQ(list.First(), nullptr);
    list.Append(&a);
    EXPECT_EQ(list.cursor, list.first);
    list.Append(&b);
    list.Append(&c);
    EXPECT_EQ(list.cursor->item, &a);  // Append leaves the cursor alone

    // Removing the element under the cursor steps back; Next continues after it.
    EXPECT_EQ(list.First(), &a);
    EXPECT_EQ(list.Next(), &b);
    EXPECT_EQ(list.Remove(&b), &b);
    EXPECT_EQ(list.cursor->item, &a);
    EXPECT_EQ(list.Next(), &c);
    EXPECT_EQ(list.Next(), nullptr);

    // Removing the first element under the cursor leaves it null: Next starts at first.
    list.First();
    EXPECT_EQ(list.Remove(&a), &a);
    EXPECT_EQ(list.cursor, nullptr);
    EXPECT_EQ(list.Next(), &c);

    // The only element: the list becomes empty, and the next Append fills every slot.
    EXPECT_EQ(list.Remove(&c), &c);
    EXPECT_EQ(list.first, nullptr);
    EXPECT_EQ(list.last, nullptr);
    EXPECT_EQ(list.cursor, nullptr);
    EXPECT_EQ(list.Remove(&c), nullptr);
    list.Append(&b);
    EXPECT_EQ(list.first, list.last);
    EXPECT_EQ(list.cursor, list.first);
    EXPECT_EQ(list.first->prev, nullptr);
    EXPECT_EQ(list.first->next, nullptr);
}

}  // namespace
