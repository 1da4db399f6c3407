#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

// Generates byte streams of frames for receiver tests, benchmarks and fuzz seeds.
namespace frame_stream {

using Bytes = std::vector<std::uint8_t>;

// What a receiver should deliver for one frame.
struct Delivered {
    bool isResponse = false;
    std::uint8_t type = 0;
    int status = 0;
    bool accepted = true;
    std::string text;  // unescaped, NULs kept
    std::string receivedBcc;
    std::string computedBcc;

    bool operator==(const Delivered&) const = default;
};

Bytes Frame(std::uint8_t type, std::uint8_t code, const std::string& text);

struct Options {
    bool faults = true;       // bad BCC, bad start, truncation, stray bytes, overlong texts
    bool junk = true;         // bytes without SOH between frames
    std::size_t maxText = 600;
};

// Appends `count` frames to `stream`. For streams without faults, `expected` receives the
// exact frames a receiver must deliver; with faults it is left alone (frames merge).
void Generate(std::mt19937& rng, std::size_t count, const Options& options, Bytes& stream,
              std::vector<Delivered>* expected);

}  // namespace frame_stream
