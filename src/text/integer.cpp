#include "text/integer.h"

#include <cctype>
#include <limits>
#include <stdexcept>

std::optional<std::int32_t> ParseInteger(std::string_view text, Blanks blanks) {
    const auto blank = [blanks](char c) {
        if (blanks == Blanks::None) return false;
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

std::optional<std::uint64_t> ParseUnsigned(std::string_view text, std::uint64_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (digit > max || value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::int64_t> ParseInteger64(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    // The magnitude may reach 2^63 for the most negative value.
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : std::uint64_t{INT64_MAX};
    const std::optional<std::uint64_t> magnitude = ParseUnsigned(text, limit);
    if (!magnitude) return std::nullopt;
    if (negative) return *magnitude == limit ? INT64_MIN : -static_cast<std::int64_t>(*magnitude);
    return static_cast<std::int64_t>(*magnitude);
}

std::string NotAnIntegerText(std::string_view text) {
    return "'" + std::string(text) + "' is not a valid integer value";
}

std::int32_t ToInteger(std::string_view text, Blanks blanks) {
    const auto value = ParseInteger(text, blanks);
    if (!value) throw std::runtime_error(NotAnIntegerText(text));
    return *value;
}
