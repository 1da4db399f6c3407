// Arbitrary bytes into the receiver, in chunks chosen by the input itself: nothing may
// crash or write out of bounds, every status is a known code, every text within its limit,
// and feeding byte by byte must agree with feeding in chunks.
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>

#include "protocol/receiver.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void CheckFrame(const Receiver& rx) {
    Check(rx.messageReady != rx.responseReady);
    Check(rx.status < kStatusCodeCount);
    Check(rx.textLength >= 1 && rx.textLength <= Receiver::kMaxText + 1);
    Check(rx.text[rx.textLength - 1] == 0);
    Check(std::strlen(rx.receivedBcc) <= 3);
    Check(std::strlen(rx.computedBcc) == 0 || std::strlen(rx.computedBcc) == 3);
}

struct Summary {
    std::uint8_t type, status;
    bool accepted, response;
    std::int32_t length;
    std::uint32_t textHash;
    bool operator==(const Summary&) const = default;
};

Summary Take(Receiver& rx) {
    CheckFrame(rx);
    std::uint32_t hash = 2166136261u;
    for (std::int32_t i = 0; i < rx.textLength; ++i) hash = (hash ^ rx.text[i]) * 16777619u;
    Summary s{rx.frameType, rx.status, rx.accepted, rx.responseReady, rx.textLength, hash};
    rx.messageReady = rx.responseReady = false;
    rx.accepted = true;
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = 1 + data[0] % 97;
    auto bytewise = std::make_unique<Receiver>();
    auto chunked = std::make_unique<Receiver>();
    std::size_t pos = 1;
    for (std::size_t i = 1; i < size; ++i) {
        bytewise->ReceiveByte(data[i]);
        if (!bytewise->FrameReady()) continue;
        const Summary expected = Take(*bytewise);
        // The chunked receiver must produce the same frame next.
        while (!chunked->FrameReady()) {
            Check(pos <= i);
            const std::size_t end = std::min(i + 1, pos + chunk);
            pos += chunked->Feed(data + pos, end - pos);
        }
        const Summary got = Take(*chunked);
        Check(expected == got);
        Check(bytewise->strayBytes == chunked->strayBytes);
    }
    while (pos < size) {
        pos += chunked->Feed(data + pos, size - pos);
        Check(!chunked->FrameReady());
    }
    Check(bytewise->strayBytes == chunked->strayBytes);
    return 0;
}
