#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

// A clock in whole seconds. The engine's time-outs and service tick and the drivers' ReadLine
// take one, so that tests can move time on without sleeping.
using SecondsClock = std::function<std::int64_t()>;

// The default: monotonic whole seconds. Only differences are ever used, and a monotonic source
// keeps a change of the system's date from stalling or firing every time-out at once.
inline std::int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
