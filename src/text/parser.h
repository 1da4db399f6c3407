#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <string_view>

// Where a Parser reads the time: the calendar clock in whole seconds, turned into local
// time with the process's time zone. Tests pass a fixed instant.
using ParserClock = std::function<std::time_t()>;

struct ControlName {
    std::string_view name;
    std::uint8_t byte;
};

// The names of the control characters. Order matters both ways: the first row with a byte
// names that byte (0x09 is "<HT>", not "<TAB>"), and the first row with a name gives the
// byte of a "\<name>" escape.
extern const std::array<ControlName, 35> kControlNames;

// Bytes typed for sending as they are, outside any frame: backslash escapes only ("\r",
// "\n", "\t", "\x01", "\<SOH>", "\\"), no flags ("%D" stays "%D"). An escape that is not one
// of these is refused rather than guessed at: `error` says why, and `errorAt` and
// `errorLength` mark the escape in the text.
struct RawBytes {
    std::string bytes;
    std::string error;
    std::size_t errorAt = 0;
    std::size_t errorLength = 0;
    bool Ok() const { return error.empty(); }
};
RawBytes ParseRawBytes(std::string_view text);

// Turns a typed message text into the bytes that are sent (flags and escapes expanded), and
// a received text into its readable form. Texts are byte strings: any byte, NUL included,
// passes through. Every byte stands alone; no multi-byte encoding is assumed.
//
// Callers make a fresh Parser for each use: creating one reseeds its random generator from
// the clock, so "%Q" gives the same digits to every Parser made within the same second.
// Day and month names, AM/PM and the date and time separators come from the C library's
// LC_TIME locale, with the United States English forms where the locale has none (or
// only names beyond Latin-1, which the one-byte texts cannot hold).
class Parser {
public:
    Parser();
    explicit Parser(ParserClock clock);

    // Expands %-flags, selections and backslash escapes, and appends the checksum a "%F"
    // or "%G" asks for. Never fails: malformed pieces resolve to some output.
    std::string Expand_flags(std::string_view text);

    // 0x20 to 0x7E as they are, control characters by name ("<STX>"), 0x7F to 0xFF as
    // "<xHH>".
    std::string Show_non_printables(std::string_view text);

    // The serial number counter shared by all Parsers of the process: "%S" prints it and
    // then counts it up. Only the user-interface thread expands texts.
    static std::int32_t Serial_number();
    static void Set_serial_number(std::int32_t value);

private:
    enum class Checksum { None, Single, Double };

    std::string Flag(char flag, int digits, const std::tm& local, Checksum& checksum);
    void Escape(std::string_view text, std::size_t& pos);
    std::string RandomDigits(int digits);

    ParserClock clock_;
    std::mt19937 random_;
    std::string text_;  // the result of the last operation
};
