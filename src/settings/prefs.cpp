#include "settings/prefs.h"

#include <algorithm>
#include <string>

namespace {

using F = ReplyFaultField;

const char* const kWhenNames[] = {"every", "nth", "chance"};
const char* const kWhenLabels[] = {"Every message", "Every Nth message", "With a probability"};

// In the order the struct declares them, which is also the dialog's order.
const ReplyFaultField kFields[] = {
    {.name = "delayMin",
     .key = "DelayMin",
     .label = "&Delay from",
     .kind = F::Ms,
     .low = 0,
     .high = FaultLimit::kMaxMs,
     .member = &ReplyFaults::DelayMin,
     .injected = Injected::Delay,
     .metric = "delay"},
    {.name = "delayMax",
     .key = "DelayMax",
     .label = "to",
     .kind = F::Ms,
     .low = 0,
     .high = FaultLimit::kMaxMs,
     .member = &ReplyFaults::DelayMax,
     .sameLine = true},
    {.name = "noAnswer",
     .key = "NoAnswer",
     .label = "&No answer (the message is listed, nothing is sent)",
     .kind = F::Flag,
     .low = 0,
     .high = 1,
     .member = &ReplyFaults::NoAnswer,
     .injected = Injected::NoAnswer,
     .metric = "no_answer"},
    {.name = "twice",
     .key = "Twice",
     .label = "Answer &twice",
     .kind = F::Flag,
     .low = 0,
     .high = 1,
     .member = &ReplyFaults::Twice,
     .injected = Injected::Twice,
     .metric = "twice"},
    {.name = "splitAt",
     .key = "SplitAt",
     .label = "&Split after",
     .kind = F::Bytes,
     .low = 0,
     .high = FaultLimit::kMaxSplitAt,
     .member = &ReplyFaults::SplitAt,
     .injected = Injected::Split,
     .metric = "split"},
    {.name = "splitGap",
     .key = "SplitGap",
     .label = "then wait",
     .kind = F::Ms,
     .low = 0,
     .high = FaultLimit::kMaxMs,
     .member = &ReplyFaults::SplitGap,
     .sameLine = true},
    {.name = "noise",
     .key = "Noise",
     .label = "N&oise before it",
     .kind = F::Bytes,
     .low = 0,
     .high = FaultLimit::kMaxNoise,
     .member = &ReplyFaults::Noise,
     .injected = Injected::Noise,
     .metric = "noise"},
    {.name = "drop",
     .key = "Drop",
     .label = "&Drop the link instead of answering",
     .kind = F::Flag,
     .low = 0,
     .high = 1,
     .member = &ReplyFaults::Drop,
     .injected = Injected::Drop,
     .metric = "drop"},
    {.name = "dropMs",
     .key = "DropMs",
     .label = "Serial: DTR down for",
     .kind = F::Ms,
     .low = 0,
     .high = FaultLimit::kMaxMs,
     .member = &ReplyFaults::DropMs},
    {.name = "when",
     .key = "When",
     .label = "&Applies to",
     .kind = F::Choice,
     .low = 0,
     .high = 2,
     .member = &ReplyFaults::When,
     .choices = kWhenNames,
     .choiceLabels = kWhenLabels},
    {.name = "everyN",
     .key = "EveryN",
     .label = "",
     .kind = F::Count,
     .low = 1,
     .high = FaultLimit::kMaxEveryN,
     .member = &ReplyFaults::EveryN,
     .sameLine = true,
     .picksWhen = 1},
    {.name = "chance",
     .key = "Chance",
     .label = "",
     .kind = F::Percent,
     .low = 0,
     .high = 100,
     .member = &ReplyFaults::Chance,
     .sameLine = true,
     .picksWhen = 2},
};

}  // namespace

std::span<const ReplyFaultField> ReplyFaultFields() {
    return kFields;
}

const ReplyFaultField* FindReplyFaultField(std::string_view name) {
    for (const ReplyFaultField& field : kFields)
        if (name == field.name) return &field;
    return nullptr;
}

std::string ReplyFaultsConflict(const ReplyFaults& faults, std::string& field) {
    // 0 for the longest delay means "exactly the shortest"; anything else is a range.
    if (faults.DelayMax != 0 && faults.DelayMax < faults.DelayMin) {
        field = "delayMax";
        return "delayMax must be 0 or at least delayMin (" + std::to_string(faults.DelayMin) + ")";
    }
    field.clear();
    return {};
}

ReplyFaults BoundedFaults(ReplyFaults f) {
    for (const ReplyFaultField& field : kFields) {
        std::int32_t& value = f.*field.member;
        value = field.kind == ReplyFaultField::Flag ? (value != 0 ? 1 : 0)
                                                    : std::clamp(value, field.low, field.high);
    }
    return f;
}
