// Arbitrary received bytes through Show_non_printables: the display form holds only
// printable characters, each byte becomes one to six of them, and printable text stays.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "text/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string shown = Parser([] { return std::time_t{0}; }).Show_non_printables(text);
    bool printable = true;
    for (const char c : text) printable = printable && c >= 0x20 && c <= 0x7E;
    for (const char c : shown) {
        if (c < 0x20 || c > 0x7E) std::abort();
    }
    if (shown.size() < size || shown.size() > 6 * size) std::abort();
    if (printable != (shown == text)) std::abort();
    return 0;
}
