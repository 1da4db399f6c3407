#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

// When a fleet's devices connect, and from which local address: pure scheduling on a clock of
// microseconds that the caller passes in, so that a test drives it with a fake one.
//  - The ramp: at most `ratePerSecond` starts a second, first ones included; a reconnect takes
//    its turn on the ramp like a first connect (a host that dropped everyone is not stormed).
//  - Sources: each start takes the next local address in turn, so that the ephemeral ports of
//    one address are not the limit of the fleet.
//  - Back-off: after the n-th failure in a row a device waits first * 2^(n-1), at most
//    `longest`, spread by +-jitter (a share of the wait) drawn from the seed: the same every run.
class ConnectRamp {
public:
    struct Backoff {
        std::int64_t firstMs = 1000;
        std::int64_t longestMs = 30000;
        double jitter = 0.2;  // 0 to 1
    };

    ConnectRamp(double ratePerSecond, std::size_t sourceCount, Backoff backoff, std::uint32_t seed);

    // The time at which a start asked for at `nowUs` may begin: now, or the ramp's next free
    // turn; that turn is taken.
    std::int64_t Reserve(std::int64_t nowUs);
    // The index of the local address the next start binds to (0 when there are none).
    std::size_t NextSource();
    // How long to wait after the `failures`-th failure in a row (1 the first), in microseconds.
    std::int64_t RetryDelayUs(std::uint32_t failures);

    std::int64_t IntervalUs() const { return intervalUs_; }

private:
    std::int64_t intervalUs_;
    std::int64_t nextFreeUs_ = 0;
    bool started_ = false;
    std::size_t sourceCount_;
    std::size_t nextSource_ = 0;
    Backoff backoff_;
    std::mt19937 random_;
};
