#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/event.h"
#include "settings/link_kind.h"

// The link actions (LinkActionCode) with their names and what each needs of the link's kind:
// the window's Link menu, the control API and the core ask here whether a link can do one.
struct LinkActionInfo {
    std::int32_t code;
    const char* name;   // in the control API and the log: "drop"
    const char* doing;  // in a refusal: "drop connections"
    bool LinkAbilities::*needs;
};
inline constexpr LinkActionInfo kLinkActions[] = {
    {LinkActionCode::DropConnections, "drop", "drop connections", &LinkAbilities::dropConnections},
    {LinkActionCode::SendBreak, "break", "send a break", &LinkAbilities::sendBreak},
    {LinkActionCode::HoldWithXoff, "xoff", "hold the peer with XOFF", &LinkAbilities::xoff},
    {LinkActionCode::SendRaw, "raw", "send raw bytes", &LinkAbilities::rawBytes},
    {LinkActionCode::Reconnect, "reconnect", "reconnect", &LinkAbilities::reconnect},
};

const LinkActionInfo* FindLinkAction(std::int32_t code);
const LinkActionInfo* FindLinkAction(std::string_view name);

// "" when a link of `kind` can do `action`, else why not ("TCP/IP Client cannot send a break.").
std::string LinkActionUnsupported(const LinkKindInfo& kind, const LinkActionInfo& action);
