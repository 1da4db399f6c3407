#include "settings/value_checks.h"

#include "settings/link_kind.h"
#include "settings/proxy_side.h"
#include "text/integer.h"

std::string ValueRange::Text() const {
    return std::to_string(low) + " to " + std::to_string(high);
}

std::string HoldTimeProblem(std::string_view text) {
    const auto ms = ParseInteger(text);
    if (!ms) return NotAnIntegerText(text);
    if (!kHoldMsRange.Holds(*ms))
        return "The time must be " + kHoldMsRange.Text() + " milliseconds.";
    return {};
}

namespace {

void CheckLink(const CommPrefs& comm, std::vector<SettingRefusal>& refused) {
    const LinkAbilities can = LinkCan(comm);
    if (can.proxy) {
        for (const auto& [key, side] : {std::pair{"ProxyA", "A"}, std::pair{"ProxyB", "B"}}) {
            std::string error;
            ParseProxySide(std::string_view(key) == "ProxyA" ? comm.ProxyA : comm.ProxyB, comm,
                           error);
            if (!error.empty())
                refused.push_back(
                    {std::string("Comm.") + key, std::string("Proxy side ") + side + ": " + error});
        }
    }
    if (can.makesPort && comm.Port.empty())
        refused.push_back({"Comm.Port", "The virtual serial port needs the path it is made at."});
}

void CheckLineFaults(const LineFaults& faults, const char* section,
                     std::vector<SettingRefusal>& refused) {
    for (const LineFaultLimit::Field& field : LineFaultLimit::Fields()) {
        const ValueRange range{field.low, field.high};
        if (!range.Holds(faults.*field.member))
            refused.push_back({std::string(section) + "." + field.name,
                               std::string(field.name) + " must be " + range.Text() + "."});
    }
    // Written so that NaN fails too.
    if (!(faults.corruptRate >= 0 && faults.corruptRate <= 1))
        refused.push_back({std::string(section) + ".corruptRate", "corruptRate must be 0 to 1."});
}

// A reply row's faults hold what BoundedFaults leaves as it is.
void CheckReplyFaults(const ReplyFaults& faults, int row, std::vector<SettingRefusal>& refused) {
    const ReplyFaults bounded = BoundedFaults(faults);
    const std::pair<const char*, std::int32_t ReplyFaults::*> fields[] = {
        {"DelayMin", &ReplyFaults::DelayMin}, {"DelayMax", &ReplyFaults::DelayMax},
        {"NoAnswer", &ReplyFaults::NoAnswer}, {"Twice", &ReplyFaults::Twice},
        {"SplitAt", &ReplyFaults::SplitAt},   {"SplitGap", &ReplyFaults::SplitGap},
        {"Noise", &ReplyFaults::Noise},       {"Drop", &ReplyFaults::Drop},
        {"DropMs", &ReplyFaults::DropMs},     {"When", &ReplyFaults::When},
        {"EveryN", &ReplyFaults::EveryN},     {"Chance", &ReplyFaults::Chance}};
    for (const auto& [name, member] : fields) {
        if (faults.*member == bounded.*member) continue;
        refused.push_back({"Reply." + std::string(name) + std::to_string(row),
                           "Row " + std::to_string(row + 1) + ": " + name + " " +
                               std::to_string(faults.*member) + " is out of its range."});
    }
    std::string field;
    if (const std::string conflict = ReplyFaultsConflict(faults, field); !conflict.empty())
        refused.push_back({"Reply." + std::string(FindReplyFaultField(field)->key) + std::to_string(row),
                           "Row " + std::to_string(row + 1) + ": " + conflict + "."});
}

void CheckTraffic(const TrafficPrefs& traffic, std::vector<SettingRefusal>& refused) {
    const struct {
        const char* key;
        std::int32_t TrafficPrefs::*member;
        ValueRange range;
    } ranges[] = {{"MaxEntries", &TrafficPrefs::MaxEntries, kTrafficEntriesRange},
                  {"LogFormat", &TrafficPrefs::LogFormat, {0, 1}},
                  {"RotateKb", &TrafficPrefs::RotateKb, kRotateKbRange},
                  {"RotateKeep", &TrafficPrefs::RotateKeep, kRotateKeepRange},
                  {"ListMax", &TrafficPrefs::ListMax, kListMaxRange}};
    for (const auto& r : ranges) {
        if (!r.range.Holds(traffic.*r.member))
            refused.push_back({std::string("Traffic.") + r.key,
                               std::string(r.key) + " must be " + r.range.Text() + "."});
    }
}

}  // namespace

std::vector<SettingRefusal> PreferencesRefusals(const Prefs& prefs) {
    std::vector<SettingRefusal> refused;
    CheckLink(prefs.Comm, refused);
    for (int row = 0; row < kReplySlots; ++row)
        CheckReplyFaults(prefs.Reply[row].Faults, row, refused);
    CheckTraffic(prefs.Traffic, refused);
    CheckLineFaults(prefs.Line, "LineFaults", refused);
    CheckLineFaults(prefs.LineB, "LineFaultsB", refused);
    if (const std::string error = ProxyFaultsError(prefs.Proxy); !error.empty())
        refused.push_back({"ProxyFaults", error});
    return refused;
}
