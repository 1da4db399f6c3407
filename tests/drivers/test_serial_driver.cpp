#include "drivers/serial_driver.h"

#include <gtest/gtest.h>

#include <stop_token>
#include <string>

#include "drivers/fake_driver.h"

namespace {

// A driver whose clock moves on by `step` seconds at every reading, counting the readings.
struct LineRig {
    explicit LineRig(std::int64_t step = 1) {
        driver.SetClock([this, step] {
            ++clockReads;
            now += step;
            return now;
        });
    }
    std::int32_t Read(std::int32_t capacity, std::int32_t timeout, char terminator = '\n',
                      char ignored = '\r') {
        buffer.assign(static_cast<std::size_t>(capacity) + 1, '#');
        return driver.ReadLine(buffer.data(), capacity, timeout, terminator, ignored);
    }
    FakeDriver driver;
    std::int64_t now = 0;
    int clockReads = 0;
    std::string buffer;
};

TEST(ReadLine, CompletesAtTheTerminatorAndSkipsTheIgnoredByte) {
    LineRig r;
    r.driver.Script("ab\r\ncd\n", 2);
    EXPECT_EQ(r.Read(10, 5), 0);
    EXPECT_EQ(r.buffer.substr(0, 4), std::string("ab\n\0", 4));
    EXPECT_EQ(r.Read(10, 5), 0);
    EXPECT_EQ(r.buffer.substr(0, 4), std::string("cd\n\0", 4));
}

TEST(ReadLine, TerminatorMayBeTheLastByteTheCapacityAllows) {
    LineRig r;
    r.driver.Script("abc\nrest");
    EXPECT_EQ(r.Read(4, 5), 0);
    EXPECT_EQ(r.buffer, std::string("abc\n\0", 5));
}

TEST(ReadLine, FullBufferEndsWithMinusTwo) {
    LineRig r;
    r.driver.Script("abcd\n");
    EXPECT_EQ(r.Read(3, 5), -2);
    EXPECT_EQ(r.buffer.substr(0, 3), "abc");
}

TEST(ReadLine, TimesOutAfterTheGivenSecondsOfSilence) {
    LineRig r;
    r.driver.Script("ab");
    EXPECT_EQ(r.Read(10, 3), -1);
    EXPECT_EQ(r.buffer.substr(0, 2), "ab");
    EXPECT_EQ(r.now, 5) << "read at 1, given up at the first reading more than 3 seconds on";
}

TEST(ReadLine, IgnoredByteEqualToTheTerminatorNeverCompletesALine) {
    LineRig r;
    r.driver.Script("ab\n");
    EXPECT_EQ(r.Read(10, 2, '\n', '\n'), -1);
    // Compared as signed bytes: 0xFF is skipped when 0xFF is the ignored byte.
    r.driver.Script("\xFFz\n");
    EXPECT_EQ(r.Read(10, 2, '\n', '\xFF'), 0);
    EXPECT_EQ(r.buffer.substr(0, 2), "z\n");
}

TEST(ReadLine, ASteadyStreamIsReadPastTheTimeOutUntilItsFirstGap) {
    LineRig r(100);
    r.driver.Script("abcdef");
    EXPECT_EQ(r.Read(10, 1), -1);
    EXPECT_EQ(r.buffer.substr(0, 6), "abcdef");
    EXPECT_EQ(r.clockReads, 2) << "once at the start and once at the gap";
}

TEST(ReadLine, NegativeTimeOutReturnsAtOnceWithoutReading) {
    LineRig r;
    r.driver.Script("x\n");
    EXPECT_EQ(r.Read(10, -1), 0);
    EXPECT_TRUE(r.driver.InputLeft());
}

TEST(ReadLine, ZeroTimeOutWaitsUntilStopIsRequested) {
    FakeDriver driver;
    std::stop_source stop;
    std::int64_t now = 0;
    driver.SetClock([&] {
        now += 1000;  // however much time passes, only the stop request ends the wait
        if (now == 50000) stop.request_stop();
        return now;
    });
    driver.SetStopToken(stop.get_token());
    char buffer[8];
    EXPECT_EQ(driver.ReadLine(buffer, 7, 0, '\n', 0), -1);
    EXPECT_EQ(now, 50000);
}

}  // namespace
