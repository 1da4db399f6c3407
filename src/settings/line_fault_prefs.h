#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Faults of the line itself, below the frames: what a slow, noisy or failing line does to the
// bytes whatever they mean. Any link can have them. The one-shot events (a break, DTR or RTS
// dropped for a while, the TCP connection reset) happen once, at their moment counted from
// when the faults were set; -1 means never.
struct LineFaults {
    std::int32_t bytesPerSecond = 0;  // bandwidth cap; 0: none
    std::int32_t byteGapUs = 0;       // idle time after every byte
    std::int32_t sliceBytes = 0;      // each write leaves in pieces of this many bytes; 0: whole
    std::int32_t sliceGapUs = 0;      // idle time between two pieces of one write
    double corruptRate = 0;           // chance per byte that one of its bits is flipped
    std::uint64_t corruptSeed = 1;    // the same seed corrupts the same bytes the same way
    std::int32_t breakAtMs = -1;      // serial: a break starts then ...
    std::int32_t breakMs = 250;       // ... and lasts this long
    std::int32_t dtrDropAtMs = -1;    // serial: DTR off then ...
    std::int32_t dtrDropMs = 1000;    // ... for this long
    std::int32_t rtsDropAtMs = -1;    // serial: RTS off then ...
    std::int32_t rtsDropMs = 1000;    // ... for this long
    std::int32_t resetAtMs = -1;      // TCP: the connection(s) reset (RST, not a close) then

    bool operator==(const LineFaults&) const = default;
    // Whether the bytes pass through a queue (anything that changes their timing).
    bool Shapes() const { return bytesPerSecond > 0 || byteGapUs > 0 || sliceBytes > 0; }
};

namespace LineFaultLimit {
inline constexpr std::int32_t kMaxBytesPerSecond = 100'000'000;
inline constexpr std::int32_t kMaxGapUs = 60'000'000;  // a minute
inline constexpr std::int32_t kMaxSliceBytes = 1'000'000;
inline constexpr std::int32_t kMaxMs = 3'600'000;  // an hour, as the reply faults

// The integer fields by their names (those of the settings file and the API), with their
// ranges, in the order the struct declares them.
struct Field {
    const char* name;
    std::int32_t LineFaults::*member;
    std::int32_t low, high;
};
const std::vector<Field>& Fields();
}  // namespace LineFaultLimit

// The first value out of its range, as a sentence naming it ("sliceBytes must be 0 to
// 1000000"); empty when every value is in range.
std::string LineFaultsError(const LineFaults& faults);

// Each value brought into its range (a hand-edited settings file cannot ask for more than the
// dialog offers).
LineFaults BoundedLineFaults(LineFaults faults);
