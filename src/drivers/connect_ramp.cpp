#include "drivers/connect_ramp.h"

#include <algorithm>
#include <cmath>

ConnectRamp::ConnectRamp(double ratePerSecond, std::size_t sourceCount, Backoff backoff, std::uint32_t seed)
    : intervalUs_(ratePerSecond > 0 ? std::max<std::int64_t>(1, std::llround(1e6 / ratePerSecond)) : 0),
      sourceCount_(sourceCount),
      backoff_(backoff),
      random_(seed) {}

std::int64_t ConnectRamp::Reserve(std::int64_t nowUs) {
    // A turn not taken is not saved up: a quiet minute does not allow a burst after it.
    const std::int64_t at = started_ ? std::max(nowUs, nextFreeUs_) : nowUs;
    started_ = true;
    nextFreeUs_ = at + intervalUs_;
    return at;
}

std::size_t ConnectRamp::NextSource() {
    if (sourceCount_ == 0) return 0;
    const std::size_t source = nextSource_;
    nextSource_ = (nextSource_ + 1) % sourceCount_;
    return source;
}

std::int64_t ConnectRamp::RetryDelayUs(std::uint32_t failures) {
    const std::uint32_t doublings = std::min<std::uint32_t>(failures > 0 ? failures - 1 : 0, 30);
    const double base = std::min<double>(static_cast<double>(backoff_.firstMs) * std::ldexp(1.0, static_cast<int>(doublings)),
                                         static_cast<double>(backoff_.longestMs));
    const double jitter = std::clamp(backoff_.jitter, 0.0, 1.0);
    std::uniform_real_distribution<double> spread(1.0 - jitter, 1.0 + jitter);
    return std::max<std::int64_t>(0, std::llround(base * (jitter > 0 ? spread(random_) : 1.0) * 1000.0));
}
