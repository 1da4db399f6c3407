#include "frame_stream.h"

#include <cstdio>

#include "protocol/frame.h"

namespace frame_stream {

Bytes Frame(std::uint8_t type, std::uint8_t code, const std::string& text) {
    CharBuffer buffer;
    BuildFrame(buffer, type, code, reinterpret_cast<const std::uint8_t*>(text.data()),
               text.size());
    return buffer.Bytes();
}

namespace {

std::string RandomText(std::mt19937& rng, std::size_t length) {
    // Mostly printable, with a fair share of the bytes that need escaping or look special.
    static const std::uint8_t special[] = {0x00, 0x01, 0x02, 0x03, 0x06, 0x0D, 0x10, 0x15, 0xFF};
    std::string text(length, ' ');
    for (auto& c : text) {
        const unsigned r = rng() % 16;
        c = static_cast<char>(r == 0 ? special[rng() % sizeof special] : r == 1 ? rng() % 256
                                                                                : 0x20 + rng() % 95);
    }
    return text;
}

std::string Digits(unsigned sum) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%03u", sum % 256);
    return digits;
}

unsigned Sum(std::uint8_t type, const std::string& text) {
    unsigned sum = type;
    for (unsigned char c : text) sum += c + ((c == 0x03 || c == 0x10) ? 0x10 : 0);
    return sum % 256;
}

}  // namespace

void Generate(std::mt19937& rng, std::size_t count, const Options& options, Bytes& stream,
              std::vector<Delivered>* expected) {
    for (std::size_t n = 0; n < count; ++n) {
        if (options.junk && rng() % 3 == 0) {
            const std::size_t junk = rng() % 12;
            for (std::size_t i = 0; i < junk; ++i) {
                std::uint8_t b = static_cast<std::uint8_t>(rng() % 256);
                if (b == 0x01) b = 0x0D;  // a stray CR between frames is harmless too
                stream.push_back(b);
            }
        }
        const std::uint8_t type = static_cast<std::uint8_t>(0x20 + rng() % 95);
        const unsigned kind = rng() % (options.faults ? 9 : 3);
        const std::size_t limit = std::min<std::size_t>(options.maxText, 511);
        std::string text = RandomText(rng, rng() % (limit + 1));
        const std::uint8_t code = kind == 1 ? 0x06 : kind == 2 ? 0x15 : 0;
        Bytes frame = Frame(type, code, text);
        switch (kind) {
            case 0:
            case 1:
            case 2:  // intact message, ACK response, NAK response
                if (expected) {
                    expected->push_back(Delivered{code != 0, type, code == 0x15 ? 1 : 0,
                                                  code != 0x15, text, Digits(Sum(type, text)),
                                                  Digits(Sum(type, text))});
                }
                break;
            case 3:  // a wrong BCC digit
                frame[frame.size() - 2 - rng() % 3] ^= 0x01;
                break;
            case 4:  // a bad byte after the type
                frame[2] = static_cast<std::uint8_t>(0x30 + rng() % 10);
                break;
            case 5:  // truncated: the CR never comes
                frame.resize(1 + rng() % (frame.size() - 1));
                break;
            case 6:  // CR after fewer digits
                frame.erase(frame.end() - 1 - (1 + rng() % 3), frame.end() - 1);
                break;
            case 7:  // stray bytes before the CR
                frame.insert(frame.end() - 1, static_cast<std::uint8_t>('A' + rng() % 26));
                break;
            case 8:  // overlong text
                frame = Frame(type, code, RandomText(rng, 512 + rng() % 100));
                break;
        }
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
}

}  // namespace frame_stream
