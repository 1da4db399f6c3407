#include "thread/device_manager.h"

DeviceManager::~DeviceManager() { devices.Clear(); }

Device* DeviceManager::Add(Device* device) {
    devices.Append(device);
    device->manager = this;
    device->eventSink = eventSink;
    return device;
}

// PollAll and Dispatch share the list's one cursor, so no device may add, remove, poll
// or dispatch from inside its own Poll or HandleEvent.
void DeviceManager::PollAll() {
    for (Device* device = devices.First(); device != nullptr; device = devices.Next()) {
        device->Poll();
    }
}

std::int32_t DeviceManager::Dispatch(const Event& event) {
    for (Device* device = devices.First(); device != nullptr; device = devices.Next()) {
        device->HandleEvent(event);
    }
    return event.id;
}

Device* DeviceManager::Remove(Device* device) { return devices.Remove(device); }
