#include "text/parser.h"

#include <langinfo.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdio>
#include <limits>
#include <optional>

const std::array<ControlName, 35> kControlNames = {{
    {"<NUL>", 0x00}, {"<SOH>", 0x01}, {"<STX>", 0x02}, {"<ETX>", 0x03}, {"<EOT>", 0x04},
    {"<ENQ>", 0x05}, {"<ACK>", 0x06}, {"<BEL>", 0x07}, {"<BS>", 0x08},  {"<HT>", 0x09},
    {"<TAB>", 0x09}, {"<LF>", 0x0A},  {"<VT>", 0x0B},  {"<FF>", 0x0C},  {"<CR>", 0x0D},
    {"<SO>", 0x0E},  {"<SI>", 0x0F},  {"<DLE>", 0x10}, {"<DC1>", 0x11}, {"<XON>", 0x11},
    {"<DC2>", 0x12}, {"<DC3>", 0x13}, {"<XOFF>", 0x13}, {"<DC4>", 0x14}, {"<NAK>", 0x15},
    {"<SYN>", 0x16}, {"<ETB>", 0x17}, {"<CAN>", 0x18}, {"<EM>", 0x19},  {"<SUB>", 0x1A},
    {"<ESC>", 0x1B}, {"<FS>", 0x1C},  {"<GS>", 0x1D},  {"<RS>", 0x1E},  {"<US>", 0x1F},
}};

namespace {

std::int32_t serialNumber = 0;

// Digit counts and selection numbers stop growing here; nothing larger means more, and a
// wrapped-around count must not come out as 4.
constexpr int kNumberCap = 1000000;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void Accumulate(int& number, char digit) {
    number = number >= kNumberCap / 10 ? kNumberCap : number * 10 + (digit - '0');
}

// Reads digits at `pos` into a number, leaving `pos` after them.
int ReadNumber(std::string_view text, std::size_t& pos) {
    int number = 0;
    while (pos < text.size() && IsDigit(text[pos])) Accumulate(number, text[pos++]);
    return number;
}

// At least `digits` digits, zero-padded, never cut ("%*.*ld").
std::string Padded(long value, int digits) {
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, "%*.*ld", digits, digits, value);
    return std::string(buffer, static_cast<std::size_t>(std::max(n, 0)));
}

std::string TwoDigits(int value) { return Padded(value, 2); }

// --- Locale names, with the United States English forms where the locale has none ------

// Whether the names of the LC_TIME locale come in UTF-8: its name says so ("de_DE.UTF-8",
// "en_US.utf8"); a locale named without a codeset uses a one-byte one.
bool TimeNamesInUtf8() {
    const char* name = std::setlocale(LC_TIME, nullptr);
    if (name == nullptr) return false;
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find(".utf-8") != std::string::npos || lower.find(".utf8") != std::string::npos;
}

// Texts are one byte per character (the windows show byte n as U+00nn), so a UTF-8 name
// such as "M\xc3\xa4r" becomes "M\xe4r". Nothing when a character lies beyond U+00FF (a
// Japanese, Greek or Cyrillic name) or the text is no UTF-8.
std::optional<std::string> Utf8ToLatin1(std::string_view utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            continue;
        }
        if ((lead != 0xC2 && lead != 0xC3) || i + 1 >= utf8.size()) return std::nullopt;
        const auto next = static_cast<unsigned char>(utf8[++i]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        out.push_back(static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F)));
    }
    return out;
}

// A name from the locale; empty when it has none or one that the texts cannot hold.
std::string Strftime(const char* format, const std::tm& local) {
    char buffer[128];
    const std::size_t n = std::strftime(buffer, sizeof buffer, format, &local);
    std::string text(buffer, n);
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || !TimeNamesInUtf8()) return text;
    return Utf8ToLatin1(text).value_or(std::string());
}

// The locale's name, or the United States English one where the locale offers none that
// the texts can hold.
std::string LocaleName(const char* format, const std::tm& local, std::string_view fallback) {
    std::string name = Strftime(format, local);
    return name.empty() ? std::string(fallback) : name;
}

std::string WeekdayName(const std::tm& local) {
    static constexpr std::string_view kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    return LocaleName("%a", local, kDays[(local.tm_wday % 7 + 7) % 7]);
}

std::string MonthName(const std::tm& local) {
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return LocaleName("%b", local, kMonths[(local.tm_mon % 12 + 12) % 12]);
}

std::string AmPm(const std::tm& local) {
    return LocaleName("%p", local, local.tm_hour < 12 ? "AM" : "PM");
}

// The first literal character of a locale's date or time format ("." of "%d.%m.%Y"); the
// fallback when it has none or it is not a plain ASCII mark.
char Separator(nl_item item, char fallback) {
    const char* format = nl_langinfo(item);
    for (const char* p = format; p != nullptr && *p != '\0'; ++p) {
        if (*p == '%') {
            // Skip flags, width and the E/O modifiers up to the conversion character.
            ++p;
            while (*p != '\0' && std::string_view("_-0^#EO123456789").find(*p) !=
                                     std::string_view::npos) {
                ++p;
            }
            if (*p == '\0') break;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x80 && c > ' ' && !IsDigit(*p) && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) {
            return *p;
        }
        return fallback;
    }
    return fallback;
}

int Year(const std::tm& local) { return local.tm_year + 1900; }

// "mm/dd/yy", or "mm/dd/yyyy" for four digits.
std::string DatePattern(const std::tm& local, bool fourDigitYear) {
    const char separator = Separator(D_FMT, '/');
    std::string date = TwoDigits(local.tm_mon + 1);
    date += separator;
    date += TwoDigits(local.tm_mday);
    date += separator;
    date += fourDigitYear ? Padded(Year(local), 4) : TwoDigits(Year(local) % 100);
    return date;
}

// "hh:nn", on the 12-hour clock (00:30 is 12:30, 13:30 is 01:30) or the 24-hour one.
std::string TimePattern(const std::tm& local, bool twelveHour) {
    int hour = local.tm_hour;
    if (twelveHour) hour = hour % 12 == 0 ? 12 : hour % 12;
    return TwoDigits(hour) + Separator(T_FMT, ':') + TwoDigits(local.tm_min);
}

// Week of the year: weeks begin on Monday and week 1 holds 1 January.
int WeekNumber(int dayOfYear, int weekday) {
    int t = dayOfYear % 7 - (weekday - 1);
    if (t <= 0) t += 7;
    return (dayOfYear + 13 - t) / 7;
}

}  // namespace

Parser::Parser() : Parser([] { return std::time(nullptr); }) {}

Parser::Parser(ParserClock clock)
    : clock_(std::move(clock)), random_(static_cast<std::uint32_t>(clock_())) {}

std::int32_t Parser::Serial_number() { return serialNumber; }

void Parser::Set_serial_number(std::int32_t value) { serialNumber = value; }

std::string Parser::Expand_flags(std::string_view in) {
    text_.clear();
    // One reading of the clock for the whole text, so that its date flags agree with each
    // other even when the expansion straddles midnight.
    const std::time_t now = clock_();
    // localtime_r reads the time zone only once per process; a zone changed during the run
    // (the system's, or TZ) shows from the next expansion on.
    ::tzset();
    std::tm local{};
    localtime_r(&now, &local);

    Checksum checksum = Checksum::None;
    std::size_t pos = 0;
    while (pos < in.size()) {
        const char c = in[pos++];
        if (c == '%') {
            const int digits = ReadNumber(in, pos);
            if (pos >= in.size()) break;  // a trailing flag without its character
            std::string out = Flag(in[pos++], digits, local, checksum);
            if (pos < in.size() && in[pos] == '(') {
                ++pos;
                int start = 0, length = 0;
                bool inLength = false;
                while (pos < in.size()) {
                    const char s = in[pos];
                    if (s == ')') {
                        ++pos;
                        break;
                    }
                    if (s == ',') {
                        inLength = true;
                    } else if (IsDigit(s)) {
                        Accumulate(inLength ? length : start, s);
                    } else {
                        break;  // read again as ordinary input
                    }
                    ++pos;
                }
                // Start is 1-based; a start at or past the end leaves the output whole.
                if (static_cast<std::size_t>(start) < out.size()) {
                    out = start == 0 ? std::string()
                                     : out.substr(static_cast<std::size_t>(start) - 1,
                                                  static_cast<std::size_t>(length));
                }
            }
            text_ += out;
        } else if (c == '\\') {
            if (pos >= in.size()) break;  // a trailing backslash is dropped
            Escape(in, pos);
        } else {
            text_.push_back(c);
        }
    }

    if (checksum == Checksum::Single) {
        std::uint32_t sum = 0;
        for (const char b : text_) sum += static_cast<std::uint32_t>(static_cast<std::int8_t>(b));
        text_.push_back(static_cast<char>('A' + sum % 26));
    } else if (checksum == Checksum::Double) {
        // Check characters that bring the running value over the final text to 0.
        text_ += "A0";
        std::uint32_t r = 0;
        for (const char b : text_) {
            if (b == '\0') break;
            r = (8 * r + static_cast<std::uint32_t>(static_cast<std::int8_t>(b)) - 32) % 59;
        }
        const std::uint32_t v = 59 - r;
        text_[text_.size() - 2] = static_cast<char>('A' + v / 8);
        text_[text_.size() - 1] = static_cast<char>('0' + v % 8);
    }
    return text_;
}

std::string Parser::Flag(char flag, int digits, const std::tm& local, Checksum& checksum) {
    switch (UpperAscii(flag)) {
        case 'A':
            return WeekdayName(local);
        case 'B':
            return MonthName(local);
        case 'C':
            return DatePattern(local, digits == 4) + ' ' + TimePattern(local, true) + ' ' +
                   AmPm(local);
        case 'D':
            return TwoDigits(local.tm_mday);
        case 'F':
            checksum = Checksum::Single;
            return {};
        case 'G':
            checksum = Checksum::Double;
            return {};
        case 'H':
            return TwoDigits(local.tm_hour);
        case 'I':
            return TwoDigits(local.tm_hour % 12);
        case 'J':
            return Padded(local.tm_yday + 1, 3);
        case 'L':
            return std::string(1, static_cast<char>('0' + (Year(local) % 10 + 10) % 10));
        case 'M':
            return TwoDigits(local.tm_mon + 1);
        case 'N':
            return TwoDigits(local.tm_min);
        case 'P':
            return AmPm(local);
        case 'Q':
            return RandomDigits(digits);
        case 'R':
            return TwoDigits(WeekNumber(local.tm_yday + 1, local.tm_wday + 1));
        case 'S': {
            const int width = digits == 0 ? 6 : std::min(digits, 19);
            std::string out = Padded(serialNumber, width);
            serialNumber = serialNumber == std::numeric_limits<std::int32_t>::max()
                               ? 0
                               : serialNumber + 1;
            return out;
        }
        case 'T':
            return TimePattern(local, false);
        case 'W':
            return std::string(1, static_cast<char>('1' + local.tm_wday));
        case 'X':
            return DatePattern(local, digits == 4);
        case 'Y':
            return digits == 4 ? Padded(Year(local), 4) : TwoDigits(Year(local) % 100);
        case 'E':
        case 'K':
        case 'O':
        case 'U':
        case 'V':
        case 'Z':
            return {};
        default:  // "%%" and any other character: the character itself
            return std::string(1, flag);
    }
}

std::string Parser::RandomDigits(int digits) {
    const unsigned first = random_() % 1000;
    const unsigned second = random_() % 1000;
    const unsigned third = random_() % 1000;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%3.3u%3.3u%3.3u", third, second, first);
    const std::size_t keep = digits >= 1 && digits <= 8 ? static_cast<std::size_t>(digits) : 9;
    return std::string(buffer, keep);
}

void Parser::Escape(std::string_view in, std::size_t& pos) {
    const char c = in[pos++];
    switch (c) {
        case 'n':
        case 'N':
            text_.push_back('\n');
            return;
        case 'r':
        case 'R':
            text_.push_back('\r');
            return;
        case 't':
        case 'T':
            text_.push_back('\t');
            return;
        case 'x':
        case 'X': {
            // Two hexadecimal digits, or 0x00: a short escape keeps the digit it read.
            int value = 0;
            int count = 0;
            while (count < 2 && pos < in.size() && HexValue(in[pos]) >= 0) {
                value = value * 16 + HexValue(in[pos++]);
                ++count;
            }
            text_.push_back(count == 2 ? static_cast<char>(value) : '\0');
            return;
        }
        case '<': {
            std::size_t end = in.find('>', pos);
            const std::size_t nameEnd = end == std::string_view::npos ? in.size() : end;
            std::string name = "<";
            for (std::size_t i = pos; i < nameEnd; ++i) name.push_back(UpperAscii(in[i]));
            name.push_back('>');
            pos = end == std::string_view::npos ? in.size() : end + 1;
            const auto row = std::find_if(kControlNames.begin(), kControlNames.end(),
                                          [&name](const ControlName& r) { return r.name == name; });
            text_.push_back(row == kControlNames.end() ? '\0' : static_cast<char>(row->byte));
            return;
        }
        default:  // "\\" and any other character: the character itself
            text_.push_back(c);
            return;
    }
}

std::string Parser::Show_non_printables(std::string_view in) {
    text_.clear();
    text_.reserve(in.size());
    for (const char c : in) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7E) {
            text_.push_back(c);
        } else if (byte < 0x20) {
            const auto row = std::find_if(kControlNames.begin(), kControlNames.end(),
                                          [byte](const ControlName& r) { return r.byte == byte; });
            text_ += row->name;
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "<x%2.2X>", byte);
            text_ += buffer;
        }
    }
    return text_;
}

RawBytes ParseRawBytes(std::string_view text) {
    RawBytes out;
    const auto refuse = [&out](std::size_t at, std::size_t length, std::string why) {
        out.bytes.clear();
        out.error = std::move(why);
        out.errorAt = at;
        out.errorLength = length;
        return out;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.bytes.push_back(text[i]);
            continue;
        }
        const std::size_t at = i;
        if (i + 1 >= text.size()) return refuse(at, 1, "A backslash must start an escape.");
        const char c = text[++i];
        switch (c) {
            case '\\':
                out.bytes.push_back('\\');
                break;
            case 'n':
            case 'N':
                out.bytes.push_back('\n');
                break;
            case 'r':
            case 'R':
                out.bytes.push_back('\r');
                break;
            case 't':
            case 'T':
                out.bytes.push_back('\t');
                break;
            case 'x':
            case 'X': {
                const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    const std::size_t length = 2 + (high >= 0 ? 1 : 0);
                    return refuse(at, length, "\\x needs two hexadecimal digits, as in \\x04.");
                }
                out.bytes.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                break;
            }
            case '<': {
                const std::size_t end = text.find('>', i);
                if (end == std::string_view::npos) return refuse(at, text.size() - at, "The name has no closing \">\".");
                std::string name = "<";
                for (std::size_t k = i + 1; k < end; ++k) name.push_back(UpperAscii(text[k]));
                name.push_back('>');
                const auto row = std::find_if(kControlNames.begin(), kControlNames.end(),
                                              [&name](const ControlName& r) { return r.name == name; });
                if (row == kControlNames.end())
                    return refuse(at, end + 1 - at, "There is no control character named " + name + ".");
                out.bytes.push_back(static_cast<char>(row->byte));
                i = end;
                break;
            }
            default:
                return refuse(at, 2, std::string("\\") + c + " is not an escape (\\r \\n \\t \\xHH \\<NAME> \\\\).");
        }
    }
    return out;
}
