#include "text/integer.h"

#include <cctype>
#include <limits>
#include <stdexcept>

std::optional<std::int32_t> ParseInteger(std::string_view text, Blanks blanks) {
    const auto blank = [blanks](char c) {
        return blanks == Blanks::LeadingSpaces ? c == ' '
                                               : std::isspace(static_cast<unsigned char>(c)) != 0;
    };
    std::size_t pos = 0, end = text.size();
    while (pos < end && blank(text[pos])) ++pos;
    if (blanks == Blanks::Around)
        while (end > pos && blank(text[end - 1])) --end;
    const bool negative = pos < end && text[pos] == '-';
    if (pos < end && (text[pos] == '-' || text[pos] == '+')) ++pos;
    if (pos == end) return std::nullopt;
    // The magnitude may reach 2147483648 for the most negative value.
    const std::int64_t limit = negative ? -std::int64_t{std::numeric_limits<std::int32_t>::min()}
                                        : std::int64_t{std::numeric_limits<std::int32_t>::max()};
    std::int64_t magnitude = 0;
    for (; pos < end; ++pos) {
        if (text[pos] < '0' || text[pos] > '9') return std::nullopt;
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > limit) return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::string NotAnIntegerText(std::string_view text) {
    return "'" + std::string(text) + "' is not a valid integer value";
}

std::int32_t ToInteger(std::string_view text, Blanks blanks) {
    const auto value = ParseInteger(text, blanks);
    if (!value) throw std::runtime_error(NotAnIntegerText(text));
    return *value;
}
