#include "settings/prefs.h"

#include <algorithm>

ReplyFaults BoundedFaults(ReplyFaults f) {
    const auto within = [](std::int32_t& value, std::int32_t low, std::int32_t high) {
        value = std::clamp(value, low, high);
    };
    const auto flag = [](std::int32_t& value) { value = value != 0 ? 1 : 0; };
    within(f.DelayMin, 0, FaultLimit::kMaxMs);
    within(f.DelayMax, 0, FaultLimit::kMaxMs);
    flag(f.NoAnswer);
    flag(f.Twice);
    within(f.SplitAt, 0, FaultLimit::kMaxSplitAt);
    within(f.SplitGap, 0, FaultLimit::kMaxMs);
    within(f.Noise, 0, FaultLimit::kMaxNoise);
    flag(f.Drop);
    within(f.DropMs, 0, FaultLimit::kMaxMs);
    within(f.When, 0, 2);
    within(f.EveryN, 1, FaultLimit::kMaxEveryN);
    within(f.Chance, 0, 100);
    return f;
}
