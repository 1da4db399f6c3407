#include "text/parser.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// Instants are given in UTC and the tests run with TZ=UTC, so local time is what is written.
std::time_t At(int year, int month, int day, int hour = 12, int minute = 0, int second = 0) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

// Sunday 6 December 2026, 16:05:09.
const std::time_t kSunday = At(2026, 12, 6, 16, 5, 9);

std::string Expand(std::string_view text, std::time_t at = kSunday) {
    Parser parser([at] { return at; });
    return parser.Expand_flags(text);
}

class ParserTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        std::setlocale(LC_TIME, "C");
    }
};

TEST_F(ParserTest, DateAndTimeFlags) {
    EXPECT_EQ(Expand("%C"), "12/06/26 04:05 PM");
    EXPECT_EQ(Expand("%4C"), "12/06/2026 04:05 PM");
    EXPECT_EQ(Expand("%2C|%3C|%04c|%14C"), "12/06/26 04:05 PM|12/06/26 04:05 PM|"
                                          "12/06/2026 04:05 PM|12/06/26 04:05 PM");
    EXPECT_EQ(Expand("%X %4X %2X %Y %4Y %3Y"), "12/06/26 12/06/2026 12/06/26 26 2026 26");
    EXPECT_EQ(Expand("%A %B %D %H %I %J %L %M %N %P %R %T %W"),
              "Sun Dec 06 16 04 340 6 12 05 PM 49 16:05 1");
    EXPECT_EQ(Expand("%a %b %d %h %i %j %l %m %n %p %r %t %w %x %y"),
              Expand("%A %B %D %H %I %J %L %M %N %P %R %T %W %X %Y"));
    EXPECT_EQ(Expand("%A %B %P", At(2027, 1, 4, 9)), "Mon Jan AM");
    EXPECT_EQ(Expand("%X %4Y %L", At(2009, 3, 7)), "03/07/09 2009 9");
    // A huge digit count saturates rather than wrapping round to 4.
    EXPECT_EQ(Expand("%4294967300Y %99999999999999999999C"), "26 12/06/26 04:05 PM");
}

TEST_F(ParserTest, TwelveHourClock) {
    struct Case {
        int hour;
        const char *i, *c, *h;
    };
    for (const Case& c : {Case{0, "00", "12/06/26 12:30 AM", "00"},
                          Case{12, "00", "12/06/26 12:30 PM", "12"},
                          Case{13, "01", "12/06/26 01:30 PM", "13"},
                          Case{11, "11", "12/06/26 11:30 AM", "11"},
                          Case{23, "11", "12/06/26 11:30 PM", "23"}}) {
        const std::time_t at = At(2026, 12, 6, c.hour, 30);
        EXPECT_EQ(Expand("%I", at), c.i) << c.hour;
        EXPECT_EQ(Expand("%C", at), c.c) << c.hour;
        EXPECT_EQ(Expand("%H", at), c.h) << c.hour;
        EXPECT_EQ(Expand("%P", at), c.hour < 12 ? "AM" : "PM") << c.hour;
    }
}

TEST_F(ParserTest, DayOfYearAndWeekNumberAtTheEndsOfTheYear) {
    struct Case {
        int year, month, day;
        const char* expected;  // "%J %R"
    };
    for (const Case& c : {Case{2024, 1, 1, "001 01"},    // leap year, starts on a Monday
                          Case{2024, 12, 31, "366 53"},
                          Case{2024, 3, 1, "061 09"},
                          Case{2023, 1, 1, "001 01"},    // common year, starts on a Sunday
                          Case{2023, 12, 31, "365 53"},
                          Case{2023, 3, 1, "060 10"},
                          Case{2012, 12, 31, "366 54"},  // leap year from a Sunday: week 54
                          Case{2000, 12, 31, "366 53"},  // divisible by 400: leap
                          Case{2100, 12, 31, "365 53"}}) {  // divisible by 100: not leap
        EXPECT_EQ(Expand("%J %R", At(c.year, c.month, c.day)), c.expected) << c.year;
    }
}

TEST_F(ParserTest, WeekNumberAgreesWithMondayWeeksEveryDay) {
    // Week 1 holds 1 January; later weeks begin on Monday. strftime's %W counts Monday
    // weeks from 0, so it is one less unless the year starts on a Monday.
    for (int year = 2020; year <= 2030; ++year) {
        std::tm jan1{};
        const std::time_t first = At(year, 1, 1);
        gmtime_r(&first, &jan1);
        const int offset = jan1.tm_wday == 1 ? 0 : 1;
        for (std::time_t t = first; t < At(year + 1, 1, 1); t += 86400) {
            std::tm day{};
            gmtime_r(&t, &day);
            char week[8], yday[8];
            std::strftime(week, sizeof week, "%W", &day);
            std::strftime(yday, sizeof yday, "%j", &day);
            char expected[16];
            std::snprintf(expected, sizeof expected, "%s %02d", yday, std::atoi(week) + offset);
            ASSERT_EQ(Expand("%J %R", t), expected) << yday << " " << year;
        }
    }
}

TEST_F(ParserTest, OneReadingOfTheClockPerExpansion) {
    // The clock moves on to the next year after the expansion has begun: every flag
    // still shows the same instant.
    std::vector<std::time_t> readings = {At(2025, 12, 31, 23, 59, 59), At(2025, 12, 31, 23, 59, 59)};
    std::size_t next = 0;
    Parser parser([&] { return next < readings.size() ? readings[next++] : At(2026, 1, 1, 0, 0); });
    EXPECT_EQ(parser.Expand_flags("%D/%M/%4Y %J %R %T"), "31/12/2025 365 53 23:59");
}

TEST_F(ParserTest, SerialNumbers) {
    Parser::Set_serial_number(0);
    EXPECT_EQ(Expand("%S%S"), "000000000001");
    EXPECT_EQ(Expand("%3S"), "002");  // shared by every Parser
    EXPECT_EQ(Expand("%0S"), "000003");
    EXPECT_EQ(Expand("%25S"), "0000000000000000004");
    EXPECT_EQ(Expand("%s(2,1)"), "0");  // selected away or not, it counts
    EXPECT_EQ(Parser::Serial_number(), 6);
    Parser::Set_serial_number(1234567);
    EXPECT_EQ(Expand("%2S"), "1234567");  // more digits than asked: printed whole
    Parser::Set_serial_number(2147483647);
    EXPECT_EQ(Expand("%S %S"), "2147483647 000000");  // wraps to 0, never negative
}

TEST_F(ParserTest, RandomNumbers) {
    const std::string nine = Expand("%Q");
    ASSERT_EQ(nine.size(), 9u);
    EXPECT_EQ(nine.find_first_not_of("0123456789"), std::string::npos);
    // Seeded from the second: fresh Parsers within it agree, whatever the digit count.
    EXPECT_EQ(Expand("%9Q"), nine);
    EXPECT_EQ(Expand("%0Q"), nine);
    EXPECT_EQ(Expand("%12q"), nine);
    EXPECT_EQ(Expand("%5Q"), nine.substr(0, 5));
    EXPECT_EQ(Expand("%1Q"), nine.substr(0, 1));
    EXPECT_EQ(Expand("%8Q"), nine.substr(0, 8));
    // One Parser draws on; another second seeds differently.
    const std::string twice = Expand("%Q%Q");
    EXPECT_EQ(twice.substr(0, 9), nine);
    EXPECT_NE(twice.substr(9), nine);
    EXPECT_NE(Expand("%Q", kSunday + 1), nine);
}

TEST_F(ParserTest, Selections) {
    EXPECT_EQ(Expand("%4Y(3,2)"), "26");
    EXPECT_EQ(Expand("%4Y(1,2)"), "20");
    EXPECT_EQ(Expand("%4Y(0,2)"), "");
    EXPECT_EQ(Expand("%4Y(2)"), "");  // no length: nothing
    EXPECT_EQ(Expand("%4Y(3,9)"), "26");
    EXPECT_EQ(Expand("%4Y(4,1)"), "2026");  // a start at the end leaves the output whole
    EXPECT_EQ(Expand("%4Y(9,1)"), "2026");
    EXPECT_EQ(Expand("%4Y(99999999999999999999,1)"), "2026");
    EXPECT_EQ(Expand("%4Y(2,,2)"), "02");      // a second comma is skipped
    EXPECT_EQ(Expand("%4Y(1,1,3)"), "2026");   // later digits add to the length: 13
    EXPECT_EQ(Expand("%4Y(2,2x)"), "02x)");    // ends at the first other character
    EXPECT_EQ(Expand("%4Y(2,2"), "02");        // or at the end of the text
    EXPECT_EQ(Expand("%T(1,2):"), "16:");
    EXPECT_EQ(Expand("%%(1,1)%!(1,1)"), "%!");
    EXPECT_EQ(Expand("%Z(1,1)x"), "x");
    EXPECT_EQ(Expand("%4Y (1,1)"), "2026 (1,1)");
}

TEST_F(ParserTest, OddFlags) {
    EXPECT_EQ(Expand(""), "");
    EXPECT_EQ(Expand("%%"), "%");
    EXPECT_EQ(Expand("%!"), "!");
    EXPECT_EQ(Expand("100%"), "100");    // a trailing "%" is dropped
    EXPECT_EQ(Expand("100%25"), "100");  // with its digits
    EXPECT_EQ(Expand("a%E%K%O%U%V%Z%e%k%o%u%v%zb"), "ab");
    EXPECT_EQ(Expand("%\\n"), "\\n");  // the backslash is the flag character here
    EXPECT_EQ(Expand("%("), "(");
    EXPECT_EQ(Expand("%7\xe9"), "\xe9");
    EXPECT_EQ(Expand("<STX>"), "<STX>");
    EXPECT_EQ(Expand("a\0b%\0c"s), "a\0b\0c"s);  // NUL in and out
}

TEST_F(ParserTest, Escapes) {
    EXPECT_EQ(Expand("\\n\\N\\r\\R\\t\\T\\\\"), "\n\n\r\r\t\t\\");
    EXPECT_EQ(Expand("\\x41\\X4a\\xfF"), "AJ\xff");
    EXPECT_EQ(Expand("\\x00|"), "\0|"s);
    EXPECT_EQ(Expand("\\x4"), "\0"s);  // cut short at the end
    EXPECT_EQ(Expand("\\x4G"), "\0G"s);
    EXPECT_EQ(Expand("\\xG"), "\0G"s);
    EXPECT_EQ(Expand("\\x"), "\0"s);
    EXPECT_EQ(Expand("\\x414"), "A4");
    EXPECT_EQ(Expand("\\<stx>\\<STX>\\<TAB>\\<Xoff>\\<XON>\\<us>"), "\x02\x02\x09\x13\x11\x1f");
    EXPECT_EQ(Expand("\\<XYZ>|\\<>|"), "\0|\0|"s);
    EXPECT_EQ(Expand("\\<etx"), "\x03");  // no ">": the rest of the text is the name
    EXPECT_EQ(Expand("\\<etx>>"), "\x03>");
    EXPECT_EQ(Expand("\\<nul>"), "\0"s);
    EXPECT_EQ(Expand("\\q\\%S\\(\\"), "q%S(");  // a trailing backslash is dropped
}

// Raw bytes: the escapes only, no flags; an escape that is not one is refused and marked.
TEST(RawBytesText, EscapesOnlyAndNothingGuessed) {
    const struct {
        const char* typed;
        std::string bytes;
        std::size_t at, length;  // the mark of a refusal (length 0: accepted)
    } cases[] = {
        {"RAW\\x01Z\\x02hi\\x03", "RAW\x01Z\x02hi\x03", 0, 0},
        {"%D %S\\r\\n\\t\\\\", "%D %S\r\n\t\\", 0, 0},
        {"\\<soh>\\<XOFF>\\x0a\\XFF", "\x01\x13\n\xff", 0, 0},
        {"ab\\x4", "", 2, 3},
        {"\\x4G", "", 0, 3},
        {"\\xZ1", "", 0, 2},
        {"x\\q", "", 1, 2},
        {"\\<XYZ>!", "", 0, 6},
        {"\\<etx", "", 0, 5},
        {"end\\", "", 3, 1},
    };
    for (const auto& c : cases) {
        const RawBytes raw = ParseRawBytes(c.typed);
        EXPECT_EQ(raw.Ok(), c.length == 0) << c.typed;
        EXPECT_EQ(raw.bytes, c.bytes) << c.typed;
        if (c.length > 0) {
            EXPECT_EQ(raw.errorAt, c.at) << c.typed;
            EXPECT_EQ(raw.errorLength, c.length) << c.typed;
            EXPECT_FALSE(raw.error.empty());
        }
    }
    EXPECT_EQ(ParseRawBytes("\\q").error, "\\q is not an escape (\\r \\n \\t \\xHH \\<NAME> \\\\).");
}

// The running value of the two-character checksum over a text of 7-bit characters.
int RunningValue(const std::string& text) {
    int r = 0;
    for (const char c : text) r = (8 * r + c - 32) % 59;
    return r;
}

TEST_F(ParserTest, Checksums) {
    EXPECT_EQ(Expand("%F"), "A");
    EXPECT_EQ(Expand("%G"), "B7");
    EXPECT_EQ(Expand("abc%F"), "abcI");
    EXPECT_EQ(Expand("%Fabc"), "abcI");
    EXPECT_EQ(Expand("abc%G"), "abcC1");
    EXPECT_EQ(Expand("a%Gb%Fc"), "abcI");   // the last one met wins
    EXPECT_EQ(Expand("a%Fb%gc"), "abcC1");
    EXPECT_EQ(Expand("\\<STX>%F"), "\x02" "C");  // over the expanded bytes
    EXPECT_EQ(Expand("\xff%F"), "\xffV");        // bytes count as signed: -1 mod 2^32 mod 26
    EXPECT_EQ(Expand("%2Y%F"), "26A");           // '2' + '6' = 104 = 4 * 26
    // The double check stops at the first NUL: here only "a" counts, r = 6, v = 53.
    EXPECT_EQ(Expand("a\\x00bcd%G"), "a\0bcdG5"s);
    // Over the final text, check characters included, the running value is 0. Printable
    // characters keep every step non-negative, so plain arithmetic serves as the check.
    std::mt19937 rng(7);
    for (int round = 0; round < 500; ++round) {
        std::string text;
        const int length = static_cast<int>(rng() % 40);
        for (int i = 0; i < length; ++i) {
            char c;
            do c = static_cast<char>(32 + rng() % 95);
            while (c == '%' || c == '\\');
            text.push_back(c);
        }
        const std::string out = Expand(text + "%G");
        ASSERT_EQ(out.substr(0, text.size()), text);
        ASSERT_EQ(out.size(), text.size() + 2);
        ASSERT_EQ(RunningValue(out), 0) << text;
    }
}

TEST_F(ParserTest, ShowNonPrintables) {
    Parser parser([] { return kSunday; });
    EXPECT_EQ(parser.Show_non_printables("\x09" "A\x11\x7F"), "<HT>A<DC1><x7F>");
    EXPECT_EQ(parser.Show_non_printables(""), "");
    EXPECT_EQ(parser.Show_non_printables("\0\x13\x1f \x7e\x80\xff"s),
              "<NUL><DC3><US> ~<x80><xFF>");
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::string shown = parser.Show_non_printables(all);
    std::string expected;
    for (int b = 0; b < 256; ++b) {
        if (b < 0x20) {
            expected += std::string(kControlNames[static_cast<std::size_t>(b) + (b > 0x09) +
                                                  (b > 0x11) + (b > 0x13)]
                                        .name);
        } else if (b < 0x7f) {
            expected.push_back(static_cast<char>(b));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<x%02X>", b);
            expected += hex;
        }
    }
    EXPECT_EQ(shown, expected);
    // Every name escapes back to its byte.
    for (const ControlName& row : kControlNames) {
        EXPECT_EQ(Expand("\\" + std::string(row.name)), std::string(1, static_cast<char>(row.byte)))
            << row.name;
    }
}

// A change of the time zone during a run (the system's, or TZ) shows in the next expansion.
TEST_F(ParserTest, ATimeZoneChangeIsSeenByTheNextExpansion) {
    EXPECT_EQ(Expand("%H:%N %D"), "16:05 06");
    ::setenv("TZ", "EST5", 1);  // as a change would come: nobody tells the program
    const std::string changed = Expand("%H:%N %D");
    const std::string east = (::setenv("TZ", "JST-9", 1), Expand("%H:%N %D"));
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    EXPECT_EQ(changed, "11:05 06");
    EXPECT_EQ(east, "01:05 07");
}

// Builds locales into a temporary directory when the machine has the locale sources; the C
// library finds them through LOCPATH.
class ParserLocaleTest : public ParserTest {
protected:
    static constexpr const char* kLocales[] = {"de_DE", "ja_JP", "el_GR", "ru_RU"};

    static void SetUpTestSuite() {
        ParserTest::SetUpTestSuite();
        std::string dir = (std::filesystem::temp_directory_path() / "vantor-loc-XXXXXX").string();
        if (::mkdtemp(dir.data()) == nullptr) return;
        dir_ = dir;
        // Built side by side: each takes a second or two. The output is a path (it has a
        // "/"): a bare name would install the locale into the system's archive.
        std::string command = "(";
        for (const char* locale : kLocales) {
            if (std::filesystem::exists(std::string("/usr/share/i18n/locales/") + locale))
                command += std::string("localedef -i ") + locale + " -f UTF-8 '" + dir + "/" +
                           locale + ".UTF-8' >/dev/null 2>&1 & ";
        }
        command += "wait)";
        if (std::system(command.c_str()) != 0) return;
        ::setenv("LOCPATH", dir.c_str(), 1);
    }
    static void TearDownTestSuite() {
        ::unsetenv("LOCPATH");
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    void SetUp() override {
        for (const char* locale : kLocales) {
            if (std::setlocale(LC_TIME, (std::string(locale) + ".UTF-8").c_str()) == nullptr)
                GTEST_SKIP() << "could not build the locale " << locale;
        }
    }
    void TearDown() override { std::setlocale(LC_TIME, "C"); }

    static std::string ExpandIn(const char* locale, std::string_view text,
                                std::time_t at = kSunday) {
        std::setlocale(LC_TIME, (std::string(locale) + ".UTF-8").c_str());
        return Expand(text, at);
    }
    static inline std::filesystem::path dir_;
};

TEST_F(ParserLocaleTest, NamesAndSeparatorsFromTheLocale) {
    EXPECT_EQ(ExpandIn("de_DE", "%A %B"), "So Dez");
    EXPECT_EQ(ExpandIn("de_DE", "%X %4X"), "12.06.26 12.06.2026");
    // German has no AM/PM designators and no literal time separator in "%T": English ones.
    EXPECT_EQ(ExpandIn("de_DE", "%C %P %T"), "12.06.26 04:05 PM PM 16:05");
    EXPECT_EQ(ExpandIn("de_DE", "%P", At(2026, 12, 6, 9)), "AM");
    // The locale's UTF-8 names become one byte per character, as every text here is.
    EXPECT_EQ(ExpandIn("de_DE", "%B", At(2026, 3, 6, 9)), "M\xe4r");
}

// Names that one byte per character cannot hold (Japanese, Greek, Cyrillic) are given in
// their United States English forms, never as question marks.
TEST_F(ParserLocaleTest, NamesBeyondLatin1AreGivenInEnglish) {
    struct Case {
        const char* locale;
        std::string_view text;
        std::time_t at;
        std::string_view expected;
    };
    for (const Case& c : {
             Case{"ja_JP", "%A %B %P", kSunday, "Sun Dec PM"},
             Case{"ja_JP", "%a %b %p", At(2027, 1, 4, 9), "Mon Jan AM"},
             Case{"ja_JP", "%C", kSunday, "12/06/26 04:05 PM"},
             Case{"el_GR", "%A %B %P", kSunday, "Sun Dec PM"},
             Case{"el_GR", "%B %P", At(2026, 3, 6, 9), "Mar AM"},
             Case{"ru_RU", "%A %B %P", kSunday, "Sun Dec PM"},
             Case{"ru_RU", "%A %B", At(2026, 5, 6, 9), "Wed May"},
         }) {
        EXPECT_EQ(ExpandIn(c.locale, c.text, c.at), c.expected) << c.locale << " " << c.text;
    }
}

}  // namespace
