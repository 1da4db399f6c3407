#include "text/next_token.h"

#include <gtest/gtest.h>

namespace {

TEST(NextToken, SplitsInPlace) {
    std::string text = "0,COM1,,4";
    EXPECT_EQ(NextToken(text, ","), "0");
    EXPECT_EQ(text, "COM1,,4");
    EXPECT_EQ(NextToken(text, ","), "COM1");
    EXPECT_EQ(NextToken(text, ","), "");  // empty field between two delimiters
    EXPECT_EQ(NextToken(text, ","), "4");  // no delimiter: the whole rest
    EXPECT_EQ(text, "");
    EXPECT_EQ(NextToken(text, ","), "");
}

TEST(NextToken, MultiCharacterDelimiterAndBinaryText) {
    std::string record = std::string("OK           {DELIM]A{DELIM]{DELIM]x\0y{DELIM]z", 46);
    EXPECT_EQ(NextToken(record, "{DELIM]"), "OK           ");
    EXPECT_EQ(NextToken(record, "{DELIM]"), "A");
    EXPECT_EQ(NextToken(record, "{DELIM]"), "");
    EXPECT_EQ(NextToken(record, "{DELIM]"), std::string("x\0y", 3));
    EXPECT_EQ(record, "z");
    std::string leading = "{DELIM]";
    EXPECT_EQ(NextToken(leading, "{DELIM]"), "");
    EXPECT_EQ(leading, "");
}

}  // namespace
