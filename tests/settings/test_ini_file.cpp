#include "settings/ini_file.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(IniFile, FindsNamesWithoutRegardToCaseOrBlanks) {
    const IniFile file(
        "[ COMM ]\n"
        "  port  =  \t COM7 \t \n"
        "Baud=\n"
        "Broken line without equals\n"
        "[comm]\n"
        "Extra = later duplicate section\n");
    EXPECT_EQ(file.Find("Comm", "PORT"), "COM7");
    EXPECT_EQ(file.Find("comm", "Baud"), "");  // present but empty, unlike missing
    EXPECT_FALSE(file.Find("Comm", "Parity").has_value());
    EXPECT_FALSE(file.Find("Display", "Port").has_value());
    // A repeated section reads as one.
    EXPECT_EQ(file.Find("Comm", "extra"), "later duplicate section");
}

TEST(IniFile, FirstOccurrenceWinsAndIsTheOneReplaced) {
    IniFile file(
        "[A]\n"
        "k=first\n"
        "K=second\n"
        "[a]\n"
        "k=third\n");
    EXPECT_EQ(file.Find("a", "k"), "first");
    file.Set("A", "k", "new");
    EXPECT_EQ(file.Text(),
              "[A]\n"
              "k=new\n"
              "K=second\n"
              "[a]\n"
              "k=third\n");
    EXPECT_EQ(file.Find("A", "K"), "new");
}

TEST(IniFile, KeysBeforeTheFirstSectionBelongToNone) {
    IniFile file("k=orphan\n[S]\n");
    EXPECT_FALSE(file.Find("", "k").has_value());
    EXPECT_FALSE(file.Find("S", "k").has_value());
    file.Set("S", "k", "v");
    EXPECT_EQ(file.Text(), "k=orphan\n[S]\nk=v\n");
}

TEST(IniFile, NewKeysGoAfterTheLastKeyAndNewSectionsAtTheEnd) {
    IniFile file(
        "; settings\n"
        "[One]\n"
        "a=1\n"
        "; about [Two]\n"
        "\n"
        "[Two]\n"
        "; nothing yet\n"
        "[One]\n"
        "c=3\n");
    file.Set("one", "b", "2");     // into the first [One], after a=1
    file.Set("Two", "x", "9");     // section without keys: right after its header
    file.Set("Three", "y", "`t`");  // new section at the end
    EXPECT_EQ(file.Text(),
              "; settings\n"
              "[One]\n"
              "a=1\n"
              "b=2\n"
              "; about [Two]\n"
              "\n"
              "[Two]\n"
              "x=9\n"
              "; nothing yet\n"
              "[One]\n"
              "c=3\n"
              "[Three]\n"
              "y=`t`\n");
}

TEST(IniFile, KeepsCrLfEndingsAndOddLinesByteForByte) {
    const std::string odd = std::string("\x01\x00\xff garbage [x", 14);
    IniFile file("[S]\r\nk=1\r\n" + odd + "\r\n[T\r\nu=2");
    EXPECT_EQ(file.Find("S", "k"), "1");
    EXPECT_EQ(file.Find("T", "u"), "2");  // a header without "]" names the rest of its line
    file.Set("S", "k", "5");
    file.Set("S", "new", "6");
    file.Set("U", "v", "7");
    EXPECT_EQ(file.Text(),
              "[S]\r\nk=5\r\nnew=6\r\n" + odd + "\r\n[T\r\nu=2\n[U]\r\nv=7\r\n");
}

TEST(IniFile, EmptyTextAndEqualNoCase) {
    IniFile file("");
    EXPECT_EQ(file.Text(), "");
    file.Set("S", "k", "");
    EXPECT_EQ(file.Text(), "[S]\nk=\n");
    EXPECT_TRUE(EqualNoCase("Type0", "tYPE0"));
    EXPECT_FALSE(EqualNoCase("Type0", "Type"));
    EXPECT_FALSE(EqualNoCase("\xc4", "\xe4"));  // only ASCII letters fold
}

}  // namespace
