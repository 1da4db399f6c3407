#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One side of a recording as the engine plays it: raw bytes, each run at its offset from the
// start (microseconds of the engine's clock, already scaled by the speed), or paced: once the
// other side has sent `awaitFrames` frames since the start (or `answerTimeoutMicros` after the
// run before, when they do not come).
struct ReplayRun {
    struct Step {
        std::int64_t offsetMicros = 0;
        std::uint64_t awaitFrames = 0;
        std::string bytes;
    };
    std::vector<Step> steps;
    bool paced = false;
    std::int64_t answerTimeoutMicros = 1'000'000;
};
