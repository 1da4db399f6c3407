#include "settings/names.h"

#include <iterator>

#include "settings/link_kind.h"
#include "settings/prefs.h"
#include "text/integer.h"

std::string PortDisplayName(std::string_view port) {
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (port.size() < 4 || upper(port[0]) != 'C' || upper(port[1]) != 'O' || upper(port[2]) != 'M')
        return std::string(port);
    const std::optional<std::uint64_t> number = ParseUnsigned(port.substr(3), UINT32_MAX);
    if (!number || *number < 1) return std::string(port);
    return "ttyS" + std::to_string(*number - 1);
}

std::string LinkSummaryText(const CommPrefs& comm) {
    const LinkKindInfo* kind = FindLinkKind(comm);
    return kind != nullptr ? kind->summary(comm) : "";
}

namespace {

std::string Quoted(const std::string& field) {
    if (field.find(',') == std::string::npos && (field.empty() || field[0] != '"')) return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

}  // namespace

std::string LinkSettingsText(const CommPrefs& s) {
    return std::to_string(s.Type) + "," + Quoted(s.Port) + "," + std::to_string(s.Baud) + "," +
           std::to_string(s.Bits) + "," + std::to_string(s.Stop) + "," + std::to_string(s.Parity) +
           "," + Quoted(s.RemoteIp) + "," + std::to_string(s.RemotePort) + "," +
           std::to_string(s.LocalPort);
}

std::string ActionsText(std::int32_t bits) {
    // The bits in the order of the action numbers: NAK, type, BCC.
    std::string text;
    for (int action = 1; action < static_cast<int>(std::size(kReplyActionNames)); ++action) {
        if ((bits & (1 << (action - 1))) == 0) continue;
        if (!text.empty()) text += "+";
        text += kReplyActionNames[action];
    }
    return text.empty() ? kReplyActionNames[0] : text;
}
