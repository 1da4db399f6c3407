#include "text/integer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

// The one reader of whole numbers: what people type (signed, blanks allowed where the field
// allows them) and what programs write (digits only).

TEST(Integer, PeopleTypeSignedNumbersWithin32Bits) {
    const struct {
        const char* text;
        Blanks blanks;
        std::optional<std::int32_t> value;
    } cases[] = {
        {"42", Blanks::Around, 42},          {" -7 ", Blanks::Around, -7},
        {"+5", Blanks::Around, 5},           {"2147483647", Blanks::Around, 2147483647},
        {"-2147483648", Blanks::Around, INT32_MIN},
        {"2147483648", Blanks::Around, std::nullopt},
        {"", Blanks::Around, std::nullopt},  {"-", Blanks::Around, std::nullopt},
        {"12x", Blanks::Around, std::nullopt}, {"1 2", Blanks::Around, std::nullopt},
        {"  3", Blanks::LeadingSpaces, 3},   {"3 ", Blanks::LeadingSpaces, std::nullopt},
        {"\t3", Blanks::LeadingSpaces, std::nullopt},
        {"-3", Blanks::None, -3},            {" 3", Blanks::None, std::nullopt},
        {"3 ", Blanks::None, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseInteger(c.text, c.blanks), c.value) << "'" << c.text << "'";
    EXPECT_THROW(ToInteger("x7"), std::runtime_error);
    EXPECT_EQ(NotAnIntegerText("x7"), "'x7' is not a valid integer value");
}

TEST(Integer, ProgramsWriteDigitsOnlyUpToTheirLargest) {
    const struct {
        const char* text;
        std::uint64_t max;
        std::optional<std::uint64_t> value;
    } cases[] = {
        {"0", UINT64_MAX, 0},
        {"18446744073709551615", UINT64_MAX, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, std::nullopt},
        {"99999999999999999999", UINT64_MAX, std::nullopt},
        {"65535", 65535, 65535},
        {"65536", 65535, std::nullopt},
        {"7", 5, std::nullopt},
        {"5", 5, 5},
        {"", UINT64_MAX, std::nullopt},
        {"+1", UINT64_MAX, std::nullopt},
        {"-1", UINT64_MAX, std::nullopt},
        {" 1", UINT64_MAX, std::nullopt},
        {"1x", UINT64_MAX, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseUnsigned(c.text, c.max), c.value) << "'" << c.text << "'";
}

TEST(Integer, CountersKeptAsTextSpanSixtyFourBits) {
    const struct {
        const char* text;
        std::optional<std::int64_t> value;
    } cases[] = {
        {"0", 0},
        {"-12", -12},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"+1", std::nullopt},
        {"1.5", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseInteger64(c.text), c.value) << "'" << c.text << "'";
}
