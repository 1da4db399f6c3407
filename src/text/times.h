#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Clocks and the forms their readings are shown in, each in one place.

std::int64_t SystemMilliseconds();  // wall clock, since the epoch
std::int64_t SystemMicros();

// The local time of an epoch time in milliseconds: "2026-12-07T10:55:23.042+01:00".
std::string IsoTime(std::int64_t epochMs);
// The same appended to `out`; the date part is worked out once a second, so that a flood of
// events does not pay for the time zone every time.
void AppendIsoTime(std::string& out, std::int64_t epochMs);

// The epoch milliseconds of "2026-12-07T10:55:23.042+01:00" (as IsoTime writes it), with or
// without the fraction, with "Z" or an offset; nothing for any other text.
std::optional<std::int64_t> ParseIsoTime(std::string_view text);

// Local milliseconds since midnight of an epoch time in milliseconds.
std::int32_t MsecsSinceMidnight(std::int64_t epochMs);
// "hh:mm:ss:mmm", as the received list shows arrival times.
std::string ListTime(std::int32_t msecsSinceMidnight);
// "2026-12-07 10:55:23.042117", local, to the microsecond (the traffic log).
std::string LocalMicrosText(std::int64_t epochMicros);
