#include "settings/proxy_fault_prefs.h"

#include "settings/prefs.h"

namespace {

using Range = ProxyFaultLimit::Field;

const std::vector<Range> kRanges = {
    {"way", &ProxyFaultRule::Way, 0, 2},
    {"frames", &ProxyFaultRule::Frames, 0, 4},
    {"delayMin", &ProxyFaultRule::DelayMin, 0, FaultLimit::kMaxMs},
    {"delayMax", &ProxyFaultRule::DelayMax, 0, FaultLimit::kMaxMs},
    {"jitter", &ProxyFaultRule::Jitter, 0, FaultLimit::kMaxMs},
    {"drop", &ProxyFaultRule::Drop, 0, 1},
    {"twice", &ProxyFaultRule::Twice, 0, 1},
    {"badBcc", &ProxyFaultRule::BadBcc, 0, 1},
    {"flipBit", &ProxyFaultRule::FlipBit, 0, 1},
    {"swapAck", &ProxyFaultRule::SwapAck, 0, 1},
    {"hold", &ProxyFaultRule::Hold, 0, 1},
    {"stray", &ProxyFaultRule::Stray, 0, FaultLimit::kMaxNoise},
    {"when", &ProxyFaultRule::When, 0, 2},
    {"everyN", &ProxyFaultRule::EveryN, 1, FaultLimit::kMaxEveryN},
    {"chance", &ProxyFaultRule::Chance, 0, 100},
};

}  // namespace

const std::vector<ProxyFaultLimit::Field>& ProxyFaultLimit::Fields() {
    return kRanges;
}

std::string ProxyFaultsError(const ProxyFaults& faults) {
    if (faults.Rules.size() > ProxyFaultLimit::kMaxRules)
        return "at most " + std::to_string(ProxyFaultLimit::kMaxRules) + " rules";
    for (std::size_t i = 0; i < faults.Rules.size(); ++i) {
        const ProxyFaultRule& rule = faults.Rules[i];
        const std::string which = "rule " + std::to_string(i + 1) + ": ";
        if (rule.Type.size() > 1) return which + "type must be one character or empty";
        for (const Range& r : kRanges) {
            const std::int32_t value = rule.*r.member;
            if (value < r.low || value > r.high)
                return which + r.name + " must be " + std::to_string(r.low) + " to " +
                       std::to_string(r.high);
        }
        if (rule.DelayMax > 0 && rule.DelayMax < rule.DelayMin)
            return which + "delayMax must be 0 or at least delayMin";
    }
    return {};
}
