#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/prefs.h"

// The reply faults table between the windows and the engine (event 10019): a first line with
// the seed, then one line per reply actions row with the twelve numbers of its ReplyFaults,
// TAB-separated, in declaration order. Lines end with CR LF.
std::string FormatReplyFaults(std::int32_t seed, const std::vector<ReplyFaults>& rows);
// Throws std::runtime_error ("'<field>' is not a valid integer value") on a field that is not a
// decimal integer; rows with fewer fields keep the defaults of the missing ones.
void ParseReplyFaults(const std::string& text, std::int32_t& seed, std::vector<ReplyFaults>& rows);

// Bits of an AnswerInjected event's value: what was done to the answer.
namespace Injected {
inline constexpr std::int32_t Delay = 1;
inline constexpr std::int32_t NoAnswer = 2;
inline constexpr std::int32_t Twice = 4;
inline constexpr std::int32_t Split = 8;
inline constexpr std::int32_t Noise = 16;
inline constexpr std::int32_t Drop = 32;
}  // namespace Injected
