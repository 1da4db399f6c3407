#include "settings/proxy_fault_prefs.h"


#include "settings/prefs.h"
#include "text/integer.h"

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

std::string ProxyFaultRuleText(const ProxyFaultRule& rule) {
    const ProxyFaultRule defaults;
    std::string text;
    const auto add = [&text](const std::string& pair) {
        if (!text.empty()) text += ',';
        text += pair;
    };
    if (rule.Way != defaults.Way) add("way=" + std::to_string(rule.Way));
    if (!rule.Type.empty()) add("type=" + rule.Type);
    for (const Range& r : kRanges) {
        if (r.member == &ProxyFaultRule::Way) continue;
        if (rule.*r.member != defaults.*r.member) add(std::string(r.name) + "=" + std::to_string(rule.*r.member));
    }
    return text;
}

ProxyFaultRule ParseProxyFaultRule(std::string_view text, std::string& error) {
    ProxyFaultRule rule;
    error.clear();
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t equals = text.find('=', at);
        if (equals == std::string_view::npos) {
            error = "\"" + std::string(text.substr(at)) + "\" has no value (write name=value)";
            return rule;
        }
        const std::string_view name = text.substr(at, equals - at);
        std::size_t end = text.find(',', equals + 1);
        // The type is one character, and that character may be a comma.
        if (name == "type" && end == equals + 1 && equals + 2 <= text.size() &&
            (equals + 2 == text.size() || text[equals + 2] == ','))
            end = equals + 2;
        if (end == std::string_view::npos) end = text.size();
        const std::string_view value = text.substr(equals + 1, end - equals - 1);
        at = end + 1;
        if (name == "type") {
            if (value.size() > 1) {
                error = "type must be one character or empty";
                return rule;
            }
            rule.Type.assign(value);
            continue;
        }
        const Range* field = nullptr;
        for (const Range& r : kRanges)
            if (name == r.name) field = &r;
        if (field == nullptr) {
            error = "\"" + std::string(name) + "\" is not a rule's value";
            return rule;
        }
        const std::optional<std::int32_t> number = ParseInteger(value, Blanks::None);
        if (!number) {
            error = std::string(name) + ": \"" + std::string(value) + "\" is not a whole number";
            return rule;
        }
        rule.*field->member = *number;
    }
    ProxyFaults one{{rule}, 1};
    if (std::string problem = ProxyFaultsError(one); !problem.empty()) error = problem.substr(problem.find(": ") + 2);
    return rule;
}
