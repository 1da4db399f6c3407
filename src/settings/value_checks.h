#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "settings/prefs.h"

// The ranges of the values people and programs give us (the windows, the control API, the
// settings the preferences dialog hands over), each checked here once; every front end words
// its own sentence around a range's Text().
struct ValueRange {
    std::int64_t low;
    std::int64_t high;

    constexpr bool Holds(std::int64_t value) const { return value >= low && value <= high; }
    std::string Text() const;  // "1 to 65535"
};

// Ports.
inline constexpr ValueRange kTcpPortRange{1, 65535};
// Times, in milliseconds: how long XOFF holds the peer, as long as a fault may last.
inline constexpr ValueRange kHoldMsRange{0, FaultLimit::kMaxMs};
// Counts.
inline constexpr ValueRange kSendCountRange{1, std::numeric_limits<std::int32_t>::max()};
inline constexpr ValueRange kTrafficEntriesRange{1000, 20'000'000};
inline constexpr ValueRange kListMaxRange{0, 20'000'000};  // 0: no limit
inline constexpr ValueRange kRotateKbRange{0, 1'048'576};  // 0: never
inline constexpr ValueRange kRotateKeepRange{0, 99};

// "" when `text` is a time XOFF can hold the peer for, else why not.
std::string HoldTimeProblem(std::string_view text);

// A setting refused, and why: `field` as the settings file places it ("Comm.ProxyA",
// "Traffic.RotateKeep", "LineFaultsB.breakMs", "Reply.EveryN3").
struct SettingRefusal {
    std::string field;
    std::string message;

    bool operator==(const SettingRefusal&) const = default;
};

// What of the settings the preferences dialog edits (the link, the reply table's faults, the
// traffic settings, the line and proxy faults) cannot be applied, field by field; empty when
// all can. The link's indexes and ports are taken as they are: an index of nothing chosen is
// stored as -1, and a port the driver cannot use is its error when the link opens.
std::vector<SettingRefusal> PreferencesRefusals(const Prefs& prefs);
