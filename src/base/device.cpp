#include "base/device.h"

Device::~Device() = default;

std::int32_t Device::HandleEvent(const Event& event) { return event.id; }
