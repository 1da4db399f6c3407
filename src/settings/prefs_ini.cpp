#include "settings/prefs_ini.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "settings/ini_file.h"
#include "text/integer.h"

namespace {

// Calls visit(section, key, field) for every key of the file in file order; `P` is Prefs or
// const Prefs. The record's member initialisers are the defaults.
template <class P, class Visitor>
void VisitKeys(P& prefs, Visitor&& visit) {
    visit("Printer", "Flags", prefs.PrinterFlags);
    visit("Config", "Flags", prefs.ConfigFlags);

    auto& display = prefs.Display;
    visit("Display", "Left", display.Left);
    visit("Display", "Top", display.Top);
    visit("Display", "Height", display.Height);
    visit("Display", "Width", display.Width);
    visit("Display", "State", display.State);
    visit("Display", "Flags", display.Flags);

    auto& restore = prefs.FileRestore;
    visit("Restore", "Fpath1", restore.Fpath1);
    visit("Restore", "Fpath2", restore.Fpath2);
    visit("Restore", "Fpath3", restore.Fpath3);
    visit("Restore", "Fpath4", restore.Fpath4);
    visit("Restore", "InitialDir", restore.InitialDir);
    visit("Restore", "Flags", restore.Flags);

    auto& comm = prefs.Comm;
    visit("Comm", "Type", comm.Type);
    visit("Comm", "Port", comm.Port);
    visit("Comm", "Baud", comm.Baud);
    visit("Comm", "Bits", comm.Bits);
    visit("Comm", "Stop", comm.Stop);
    visit("Comm", "Parity", comm.Parity);
    visit("Comm", "RemoteIp", comm.RemoteIp);
    visit("Comm", "RemotePort", comm.RemotePort);
    visit("Comm", "LocalPort", comm.LocalPort);
    visit("Comm", "Flags", comm.Flags);

    auto& password = prefs.Password;
    visit("Password", "Password1", password.Password1);
    visit("Password", "Password2", password.Password2);
    visit("Password", "Password3", password.Password3);
    visit("Password", "Password4", password.Password4);
    visit("Password", "Flags", password.Flags);

    for (int n = 0; n < kSendSlots; ++n) {
        const std::string digit = std::to_string(n);
        auto& send = prefs.Send[n];
        visit("Send", "Type" + digit, send.Type);
        visit("Send", "Msg" + digit, send.Msg);
        visit("Send", "Count" + digit, send.Count);
        visit("Send", "Delay" + digit, send.Delay);
        visit("Send", "Flags" + digit, send.Flags);
    }
    for (int n = 0; n < kReplySlots; ++n) {
        const std::string digit = std::to_string(n);
        auto& reply = prefs.Reply[n];
        visit("Reply", "Type" + digit, reply.Type);
        visit("Reply", "Msg" + digit, reply.Msg);
        visit("Reply", "Action" + digit, reply.Action);
        visit("Reply", "Flags" + digit, reply.Flags);
    }
}

// The keys of the reply faults, written only where they differ from their default or are in
// the file already: a file without faults stays as it was, and one whose faults were cleared
// keeps no stale value.
template <class P, class Visitor>
void VisitFaultKeys(P& prefs, Visitor&& visit) {
    for (int n = 0; n < kReplySlots; ++n) {
        const std::string digit = std::to_string(n);
        auto& faults = prefs.Reply[n].Faults;
        for (const ReplyFaultField& field : ReplyFaultFields())
            visit("Reply", field.key + digit, faults.*field.member, ReplyFaults{}.*field.member);
    }
    visit("Reply", "FaultSeed", prefs.FaultSeed, 1);
}

// The traffic keys, kept like the fault keys: only where they differ from their default or
// are in the file already.
template <class P, class Visitor>
void VisitTrafficKeys(P& prefs, Visitor&& visit) {
    const TrafficPrefs defaults;
    auto& traffic = prefs.Traffic;
    visit("Traffic", "MaxEntries", traffic.MaxEntries, defaults.MaxEntries);
    visit("Traffic", "LogOn", traffic.LogOn, defaults.LogOn);
    visit("Traffic", "LogPath", traffic.LogPath, defaults.LogPath);
    visit("Traffic", "LogFormat", traffic.LogFormat, defaults.LogFormat);
    visit("Traffic", "RotateKb", traffic.RotateKb, defaults.RotateKb);
    visit("Traffic", "RotateKeep", traffic.RotateKeep, defaults.RotateKeep);
    visit("Traffic", "ListMax", traffic.ListMax, defaults.ListMax);
    visit("Traffic", "FollowNewest", traffic.FollowNewest, defaults.FollowNewest);
}

// Later additions to older sections, kept like the fault keys.
template <class P, class Visitor>
void VisitAddedKeys(P& prefs, Visitor&& visit) {
    visit("Display", "RxHeight", prefs.Display.RxHeight, DisplayPrefs{}.RxHeight);
    visit("Comm", "AutoReconnect", prefs.Comm.AutoReconnect, CommPrefs{}.AutoReconnect);
    visit("Comm", "ProxyA", prefs.Comm.ProxyA, CommPrefs{}.ProxyA);
    visit("Comm", "ProxyB", prefs.Comm.ProxyB, CommPrefs{}.ProxyB);
    visit("Comm", "ProxyInject", prefs.Comm.ProxyInject, CommPrefs{}.ProxyInject);
}

std::string_view StripEnclosing(std::string_view value, char mark) {
    if (value.size() >= 2 && value.front() == mark && value.back() == mark) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string_view StripQuotes(std::string_view value) {
    return value.size() >= 2 && (value.front() == '"' || value.front() == '\'')
               ? StripEnclosing(value, value.front())
               : value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string DecodeTextValue(std::string_view value) {
    // The length limit applies to the text, not to the stored value: cutting first would
    // drop the closing backquote and leave the opening one in the text.
    const std::string_view text = StripEnclosing(StripQuotes(value), '`');
    return std::string(text.substr(0, kMaxValueText));
}

std::optional<std::int32_t> DecodeIntValue(std::string_view value) {
    value = StripQuotes(value);
    std::string_view digits;
    if (value.starts_with("0x") || value.starts_with("0X")) {
        digits = value.substr(2);
    } else if (value.starts_with("$")) {
        digits = value.substr(1);
    } else {
        const bool negative = value.starts_with("-");
        if (negative || value.starts_with("+")) value.remove_prefix(1);
        if (value.empty()) return std::nullopt;
        std::int64_t magnitude = 0;
        for (const char c : value) {
            if (c < '0' || c > '9') return std::nullopt;
            magnitude = magnitude * 10 + (c - '0');
            if (magnitude > std::int64_t{1} << 31) return std::nullopt;
        }
        const std::int64_t result = negative ? -magnitude : magnitude;
        if (result > INT32_MAX) return std::nullopt;
        return static_cast<std::int32_t>(result);
    }
    if (digits.empty()) return std::nullopt;
    std::uint64_t result = 0;
    for (const char c : digits) {
        const int digit = HexDigit(c);
        if (digit < 0) return std::nullopt;
        result = result * 16 + static_cast<unsigned>(digit);
        if (result > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(result));
}

std::string EncodeTextValue(std::string_view text) {
    std::string value;
    value.reserve(text.size() + 2);
    value.push_back('`');
    for (const char c : text) {
        if (c != '\n') value.push_back(c);
    }
    value.push_back('`');
    return value;
}

namespace {

// The line faults, in a section of their own under the names of their fields; written only
// where they differ from their default or are in the file already, like the fault keys.
void ReadLineFaults(const IniFile& file, LineFaults& faults, const char* section) {
    for (const LineFaultLimit::Field& field : LineFaultLimit::Fields()) {
        if (const auto value = file.Find(section, field.name))
            if (const auto number = DecodeIntValue(*value)) faults.*field.member = *number;
    }
    if (const auto value = file.Find(section, "corruptRate")) {
        const std::string text(StripQuotes(*value));
        char* end = nullptr;
        const double rate = std::strtod(text.c_str(), &end);
        if (!text.empty() && end == text.c_str() + text.size()) faults.corruptRate = rate;
    }
    if (const auto value = file.Find(section, "corruptSeed")) {
        const std::string text(StripQuotes(*value));
        if (const auto seed = ParseUnsigned(text)) faults.corruptSeed = *seed;
    }
    faults = BoundedLineFaults(faults);
}

void WriteLineFaults(IniFile& file, const LineFaults& faults, const char* section) {
    const LineFaults defaults;
    const auto put = [&file, section](const char* key, bool isDefault, const std::string& text) {
        if (isDefault && !file.Find(section, key)) return;
        file.Set(section, key, text);
    };
    for (const LineFaultLimit::Field& field : LineFaultLimit::Fields()) {
        const std::int32_t value = faults.*field.member;
        put(field.name, value == defaults.*field.member, std::to_string(value));
    }
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.17g", faults.corruptRate);
    put("corruptRate", faults.corruptRate == defaults.corruptRate, rate);
    put("corruptSeed", faults.corruptSeed == defaults.corruptSeed, std::to_string(faults.corruptSeed));
}

// The proxy's frame faults: the seed and one line per rule ("Rule1=way=0,drop=1"). Rules that
// cannot be read (a hand-edited file) are left out; the count written is the count kept.
void ReadProxyFaults(const IniFile& file, ProxyFaults& faults) {
    if (const auto value = file.Find("ProxyFaults", "Seed"))
        if (const auto number = DecodeIntValue(*value)) faults.Seed = *number;
    const auto count = file.Find("ProxyFaults", "Rules");
    const auto rules = count ? DecodeIntValue(*count) : std::nullopt;
    if (!rules) return;
    for (std::int32_t n = 1; n <= *rules && faults.Rules.size() < ProxyFaultLimit::kMaxRules; ++n) {
        const auto value = file.Find("ProxyFaults", "Rule" + std::to_string(n));
        if (!value) continue;
        std::string error;
        const ProxyFaultRule rule = ParseProxyFaultRule(DecodeTextValue(*value), error);
        if (error.empty()) faults.Rules.push_back(rule);
    }
}

void WriteProxyFaults(IniFile& file, const ProxyFaults& faults) {
    const std::int32_t before = [&file] {
        const auto count = file.Find("ProxyFaults", "Rules");
        return count ? DecodeIntValue(*count).value_or(0) : 0;
    }();
    if (faults == ProxyFaults{} && !file.Find("ProxyFaults", "Rules") && !file.Find("ProxyFaults", "Seed")) return;
    file.Set("ProxyFaults", "Seed", std::to_string(faults.Seed));
    file.Set("ProxyFaults", "Rules", std::to_string(faults.Rules.size()));
    for (std::size_t n = 0; n < faults.Rules.size(); ++n)
        file.Set("ProxyFaults", "Rule" + std::to_string(n + 1), EncodeTextValue(ProxyFaultRuleText(faults.Rules[n])));
    // Rules beyond the count are not read; emptied so that the file does not mislead.
    for (std::int32_t n = static_cast<std::int32_t>(faults.Rules.size()) + 1; n <= before; ++n)
        file.Set("ProxyFaults", "Rule" + std::to_string(n), EncodeTextValue(""));
}

}  // namespace

namespace {

const CommRange* CommRangeOf(std::string_view section, std::string_view key) {
    if (section != "Comm") return nullptr;
    for (const CommRange& range : kCommRanges)
        if (key == range.key) return &range;
    return nullptr;
}

bool InRange(const CommRange& range, std::int32_t value) { return value >= 0 && value <= range.last; }

}  // namespace

Prefs ReadPrefs(std::string_view content, std::vector<SettingWarning>* warnings) {
    const IniFile file(content);
    Prefs prefs;
    VisitKeys(prefs, [&file](std::string_view section, std::string_view key, auto& field) {
        const auto value = file.Find(section, key);
        if (!value) return;
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, std::string>) {
            field = DecodeTextValue(*value);
        } else {
            if (const auto number = DecodeIntValue(*value)) field = *number;
        }
    });
    const auto readKey = [&file](std::string_view section, std::string_view key, auto& field, const auto&) {
        const auto value = file.Find(section, key);
        if (!value) return;
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, std::string>) {
            field = DecodeTextValue(*value);
        } else {
            if (const auto number = DecodeIntValue(*value)) field = *number;
        }
    };
    VisitFaultKeys(prefs, readKey);
    // A hand-edited file cannot ask for more than the dialog offers (a delay of days).
    for (ReplyPrefs& reply : prefs.Reply) reply.Faults = BoundedFaults(reply.Faults);
    VisitTrafficKeys(prefs, readKey);
    VisitAddedKeys(prefs, readKey);
    ReadLineFaults(file, prefs.Line, "LineFaults");
    ReadLineFaults(file, prefs.LineB, "LineFaultsB");
    ReadProxyFaults(file, prefs.Proxy);
    // An index out of range would reach the driver, the API and the dialog as a value none of
    // them offers.
    const CommPrefs defaults;
    for (const CommRange& range : kCommRanges) {
        std::int32_t& value = prefs.Comm.*range.member;
        if (InRange(range, value)) continue;
        if (warnings != nullptr) {
            std::string setting = std::string(range.key) + "=" + std::to_string(value);
            std::string text = "[Comm] " + setting + " is out of its range 0 to " + std::to_string(range.last) +
                               "; the default " + std::to_string(defaults.*range.member) + " is used";
            warnings->push_back({std::move(setting), std::move(text)});
        }
        value = defaults.*range.member;
    }
    return prefs;
}

std::string WritePrefs(std::string_view content, const Prefs& prefs) {
    IniFile file(content);
    const CommPrefs defaults;
    VisitKeys(prefs, [&file, &defaults](std::string_view section, std::string_view key, const auto& field) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, std::string>) {
            file.Set(section, key, EncodeTextValue(field));
        } else {
            if (const CommRange* range = CommRangeOf(section, key); range != nullptr && field == defaults.*range->member) {
                const auto written = file.Find(section, key);
                const auto number = written ? DecodeIntValue(*written) : std::nullopt;
                if (number && !InRange(*range, *number)) return;
            }
            file.Set(section, key, std::to_string(field));
        }
    });
    const auto writeKey = [&file](std::string_view section, std::string_view key, const auto& field,
                                  const auto& fallback) {
        if (field == fallback && !file.Find(section, key)) return;
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, std::string>) {
            file.Set(section, key, EncodeTextValue(field));
        } else {
            file.Set(section, key, std::to_string(field));
        }
    };
    VisitFaultKeys(prefs, writeKey);
    VisitTrafficKeys(prefs, writeKey);
    VisitAddedKeys(prefs, writeKey);
    WriteLineFaults(file, prefs.Line, "LineFaults");
    WriteLineFaults(file, prefs.LineB, "LineFaultsB");
    WriteProxyFaults(file, prefs.Proxy);
    return file.Text();
}
