// Arbitrary typed texts through Expand_flags at an instant taken from the input: nothing
// may crash or read out of bounds, the same text at the same instant expands the same way,
// and a text without "%" or backslash comes out unchanged.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "text/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    // Any second from 1970 to about 2106.
    const std::time_t at = static_cast<std::time_t>(std::uint32_t{data[0]} | data[1] << 8 |
                                                    data[2] << 16 | std::uint32_t{data[3]} << 24);
    const std::string text(reinterpret_cast<const char*>(data) + 4, size - 4);

    Parser::Set_serial_number(static_cast<std::int32_t>(size * 7919));
    const std::string first = Parser([at] { return at; }).Expand_flags(text);
    Parser::Set_serial_number(static_cast<std::int32_t>(size * 7919));
    const std::string second = Parser([at] { return at; }).Expand_flags(text);
    if (first != second) std::abort();
    if (text.find_first_of("%\\") == std::string::npos && first != text) std::abort();
    return 0;
}
