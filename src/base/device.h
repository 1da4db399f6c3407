#pragma once

#include <cstdint>

#include "base/event.h"

class DeviceManager;
class EventManager;

// Anything the control thread polls: the link driver and the protocol engine.
class Device {
public:
    virtual ~Device();
    // One polling step; must not block.
    virtual void Poll() = 0;
    // The device's reaction to an event passing through the control thread.
    virtual std::int32_t HandleEvent(const Event& event);

    DeviceManager* manager = nullptr;  // set by DeviceManager::Add
    EventManager* eventSink = nullptr;  // where the device posts its events; set by Add
};
