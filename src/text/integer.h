#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The one reader of whole numbers typed by people or kept in texts: decimal, an optional sign,
// at least one digit, within 32 bits, nothing else.
enum class Blanks {
    Around,         // white space before and after is ignored (the fields of the windows)
    LeadingSpaces,  // only spaces, only before (the reply actions table's action numbers)
    None,           // none at all (a value a program wrote: a command line, a rule, a file)
};
std::optional<std::int32_t> ParseInteger(std::string_view text, Blanks blanks = Blanks::Around);

// A count, an id, a seed or a port written by a program (a URL, a settings value, a command
// line): decimal digits only, no sign, no blanks, at most `max`.
std::optional<std::uint64_t> ParseUnsigned(std::string_view text, std::uint64_t max = UINT64_MAX);
// A counter kept as text: an optional '-', then digits only, within 64 bits.
std::optional<std::int64_t> ParseInteger64(std::string_view text);

// "'<text>' is not a valid integer value": what a conversion error says.
std::string NotAnIntegerText(std::string_view text);

// ParseInteger, or std::runtime_error(NotAnIntegerText(text)).
std::int32_t ToInteger(std::string_view text, Blanks blanks = Blanks::Around);
