#pragma once

#include <algorithm>
#include <cstdint>

// When the bytes of an output queue may leave: pure arithmetic on a nanosecond clock, no I/O,
// so that the virtual port's line rate and the line faults share one schedule and tests can
// drive it with any clock. Each byte occupies the line for `nsPerByte` plus `gapNs`; after
// every `sliceBytes` bytes of one write the line stays idle for `sliceGapNs` more. Times
// chain from byte to byte, so a late wake-up releases the bytes that fell due meanwhile
// without the rate drifting.
class LinePacer {
public:
    struct Shape {
        std::int64_t nsPerByte = 0;
        std::int64_t gapNs = 0;
        std::int32_t sliceBytes = 0;  // 0: writes are not cut
        std::int64_t sliceGapNs = 0;
        // True: a byte is released once it has wholly crossed the line (a receiver has it
        // after its stop bit). False: released when it starts, so that a stage after this one
        // can pace it further.
        bool atEnd = false;

        bool Idle() const { return nsPerByte <= 0 && gapNs <= 0 && sliceBytes <= 0; }
    };

    void SetShape(const Shape& shape) { shape_ = shape; }
    const Shape& GetShape() const { return shape_; }

    // The queue was empty and gets a byte at `now`: an idle line starts again from now.
    void Wake(std::int64_t now) { ready_ = std::max(ready_, now); }

    // When the next byte may be released; `startsWrite` when it is the first of a write.
    std::int64_t DueAt(bool startsWrite) const {
        std::int64_t at = ready_;
        if (SliceEnds(startsWrite)) at += shape_.sliceGapNs;
        if (shape_.atEnd) at += shape_.nsPerByte;
        return at;
    }

    // The next byte is released.
    void Take(bool startsWrite) {
        if (SliceEnds(startsWrite)) ready_ += shape_.sliceGapNs;
        if (startsWrite || SliceEnds(startsWrite)) piece_ = 0;
        ready_ += shape_.nsPerByte + shape_.gapNs;
        ++piece_;
    }

    // The byte just taken ends a piece of a sliced write.
    bool PieceFull() const { return shape_.sliceBytes > 0 && piece_ >= shape_.sliceBytes; }

    // The line could not take a byte due at `now` (the receiver is not reading): the schedule
    // goes on from when it can.
    void Stall(std::int64_t now) { ready_ = std::max(ready_, now); }

private:
    bool SliceEnds(bool startsWrite) const {
        return !startsWrite && shape_.sliceBytes > 0 && piece_ >= shape_.sliceBytes;
    }

    Shape shape_;
    std::int64_t ready_ = 0;  // when the line is free for the next byte
    std::int32_t piece_ = 0;  // bytes of the current piece released so far
};

// Bits a byte takes on an asynchronous serial line: one start bit, the data bits, a parity bit
// when there is parity, and the stop bits (10 at 8N1).
inline int BitsPerByte(int dataBits, bool parity, int stopBits) {
    return 1 + dataBits + (parity ? 1 : 0) + stopBits;
}

// Nanoseconds a byte takes at `bitsPerSecond` (86,806 at 115200 8N1); 0 for no line rate.
inline std::int64_t NsPerByte(int bitsPerSecond, int bitsPerByte) {
    if (bitsPerSecond <= 0) return 0;
    return (static_cast<std::int64_t>(bitsPerByte) * 1'000'000'000 + bitsPerSecond / 2) / bitsPerSecond;
}
