#include "base/link_actions.h"

const LinkActionInfo* FindLinkAction(std::int32_t code) {
    for (const LinkActionInfo& action : kLinkActions)
        if (action.code == code) return &action;
    return nullptr;
}

const LinkActionInfo* FindLinkAction(std::string_view name) {
    for (const LinkActionInfo& action : kLinkActions)
        if (name == action.name) return &action;
    return nullptr;
}

std::string LinkActionUnsupported(const LinkKindInfo& kind, const LinkActionInfo& action) {
    if (kind.can.*action.needs) return "";
    if (kind.whyNot != nullptr) return std::string(kind.whyNot) + ".";
    return std::string(kind.displayName) + " cannot " + action.doing + ".";
}
