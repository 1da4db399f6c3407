#pragma once

#include <cstdint>

#include "base/device.h"
#include "thread/double_list.h"
#include "base/event.h"

class EventManager;

// The control thread's devices, polled and offered events in the order they were added.
// The manager owns them: destroying it deletes every device, first to last.
class DeviceManager {
public:
    explicit DeviceManager(EventManager* eventSink) : eventSink(eventSink) {}
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    virtual ~DeviceManager();
    virtual void PollAll();
    virtual std::int32_t Dispatch(const Event& event);
    // Takes `device` out of the list without deleting it; null when it is not there.
    virtual Device* Remove(Device* device);

    // Appends `device` (taking ownership) and gives it this manager's event sink.
    Device* Add(Device* device);

    TDoubleList<Device> devices;
    EventManager* eventSink;
};
