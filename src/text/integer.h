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
};
std::optional<std::int32_t> ParseInteger(std::string_view text, Blanks blanks = Blanks::Around);

// "'<text>' is not a valid integer value": what a conversion error says.
std::string NotAnIntegerText(std::string_view text);

// ParseInteger, or std::runtime_error(NotAnIntegerText(text)).
std::int32_t ToInteger(std::string_view text, Blanks blanks = Blanks::Around);
