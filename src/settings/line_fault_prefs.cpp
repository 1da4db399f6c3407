#include "settings/line_fault_prefs.h"

#include <algorithm>

namespace {

using Range = LineFaultLimit::Field;

// The integer fields with their ranges, in the order the struct declares them.
const std::vector<Range> kRanges = {
    {"bytesPerSecond", &LineFaults::bytesPerSecond, 0, LineFaultLimit::kMaxBytesPerSecond},
    {"byteGapUs", &LineFaults::byteGapUs, 0, LineFaultLimit::kMaxGapUs},
    {"sliceBytes", &LineFaults::sliceBytes, 0, LineFaultLimit::kMaxSliceBytes},
    {"sliceGapUs", &LineFaults::sliceGapUs, 0, LineFaultLimit::kMaxGapUs},
    {"breakAtMs", &LineFaults::breakAtMs, -1, LineFaultLimit::kMaxMs},
    {"breakMs", &LineFaults::breakMs, 0, LineFaultLimit::kMaxMs},
    {"dtrDropAtMs", &LineFaults::dtrDropAtMs, -1, LineFaultLimit::kMaxMs},
    {"dtrDropMs", &LineFaults::dtrDropMs, 0, LineFaultLimit::kMaxMs},
    {"rtsDropAtMs", &LineFaults::rtsDropAtMs, -1, LineFaultLimit::kMaxMs},
    {"rtsDropMs", &LineFaults::rtsDropMs, 0, LineFaultLimit::kMaxMs},
    {"resetAtMs", &LineFaults::resetAtMs, -1, LineFaultLimit::kMaxMs},
};

}  // namespace

std::string LineFaultsError(const LineFaults& f) {
    for (const Range& r : kRanges) {
        const std::int32_t value = f.*r.member;
        if (value < r.low || value > r.high)
            return std::string(r.name) + " must be " + std::to_string(r.low) + " to " + std::to_string(r.high);
    }
    // Written so that NaN fails too.
    if (!(f.corruptRate >= 0 && f.corruptRate <= 1)) return "corruptRate must be 0 to 1";
    return {};
}

LineFaults BoundedLineFaults(LineFaults f) {
    for (const Range& r : kRanges) f.*r.member = std::clamp(f.*r.member, r.low, r.high);
    if (!(f.corruptRate >= 0)) f.corruptRate = 0;
    if (f.corruptRate > 1) f.corruptRate = 1;
    return f;
}

const std::vector<LineFaultLimit::Field>& LineFaultLimit::Fields() { return kRanges; }
