#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The reply actions table's wire form and its pieces. VantorProtocol::SetReplyActions and
// OnMessage (reply_actions.cpp) build on these.

// Action numbers of a reply actions row; any other number answers normally.
namespace ReplyAction {
inline constexpr std::int32_t Normal = 0;
inline constexpr std::int32_t Nak = 1;
inline constexpr std::int32_t WrongType = 2;
inline constexpr std::int32_t WrongBcc = 3;
}  // namespace ReplyAction

// Lines split at CR LF, a lone CR or a lone LF; a break after the last line adds no line, and
// an empty text has none.
std::vector<std::string> SplitLines(std::string_view text);

// Strict decimal conversion of an action field: optional leading blanks, an optional sign and
// at least one digit, nothing after them, within 32 bits. Anything else throws
// std::runtime_error("'<field>' is not a valid integer value").
std::int32_t ParseActionNumber(const std::string& field);
