#include "text/times.h"

#include <chrono>
#include <cstdio>
#include <ctime>

std::int64_t SystemMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t SystemMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace {

// Floor division, so that times before the epoch (tests) keep their fractions positive.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

void AppendIsoTime(std::string& out, std::int64_t epochMs) {
    // The second's text, "2026-12-07T10:55:23" and its zone "+01:00", reused within it.
    thread_local std::int64_t cachedSecond = INT64_MIN;
    thread_local char date[72];
    thread_local char zone[8];
    const std::int64_t second = FloorDiv(epochMs, 1000);
    if (second != cachedSecond) {
        const std::time_t seconds = static_cast<std::time_t>(second);
        std::tm local{};
        localtime_r(&seconds, &local);
        std::snprintf(date, sizeof date, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        char offset[8];
        std::strftime(offset, sizeof offset, "%z", &local);  // +0100
        std::snprintf(zone, sizeof zone, "%.3s:%.2s", offset, offset + 3);
        cachedSecond = second;
    }
    const int ms = static_cast<int>(epochMs - second * 1000);
    const char fraction[4] = {'.', static_cast<char>('0' + ms / 100),
                              static_cast<char>('0' + ms / 10 % 10), static_cast<char>('0' + ms % 10)};
    out += date;
    out.append(fraction, 4);
    out += zone;
}

std::string IsoTime(std::int64_t epochMs) {
    std::string text;
    AppendIsoTime(text, epochMs);
    return text;
}

std::int32_t MsecsSinceMidnight(std::int64_t epochMs) {
    // The local time of day of one second, reused within it (a message a microsecond).
    thread_local std::int64_t cachedSecond = INT64_MIN;
    thread_local std::int32_t cachedMs = 0;
    const std::int64_t second = FloorDiv(epochMs, 1000);
    if (second != cachedSecond) {
        const std::time_t seconds = static_cast<std::time_t>(second);
        std::tm local{};
        localtime_r(&seconds, &local);
        cachedMs = ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000;
        cachedSecond = second;
    }
    return cachedMs + static_cast<std::int32_t>(epochMs - second * 1000);
}

std::string ListTime(std::int32_t ms) {
    if (ms < 0 || ms >= 100 * 3600000) {
        char text[32];
        std::snprintf(text, sizeof text, "%2.2d:%2.2d:%2.2d:%3.3d", ms / 3600000, ms / 60000 % 60,
                      ms / 1000 % 60, ms % 1000);
        return text;
    }
    const int h = ms / 3600000, m = ms / 60000 % 60, s = ms / 1000 % 60, f = ms % 1000;
    const char text[12] = {static_cast<char>('0' + h / 10), static_cast<char>('0' + h % 10), ':',
                           static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10), ':',
                           static_cast<char>('0' + s / 10), static_cast<char>('0' + s % 10), ':',
                           static_cast<char>('0' + f / 100), static_cast<char>('0' + f / 10 % 10),
                           static_cast<char>('0' + f % 10)};
    return std::string(text, 12);
}

std::string LocalMicrosText(std::int64_t micros) {
    const std::int64_t second = FloorDiv(micros, 1000000);
    const std::time_t seconds = static_cast<std::time_t>(second);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%06lld",
                  static_cast<long long>(micros - second * 1000000));
    return text;
}

std::optional<std::int64_t> ParseIsoTime(std::string_view text) {
    // Digits of a fixed count at `at`, moving past them.
    std::size_t at = 0;
    const auto digits = [&](std::size_t count, int& value) {
        if (at + count > text.size()) return false;
        value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = text[at + i];
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        at += count;
        return true;
    };
    const auto mark = [&](char c) {
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    };
    int year, month, day, hour, minute, second, ms = 0;
    if (!digits(4, year) || !mark('-') || !digits(2, month) || !mark('-') || !digits(2, day) ||
        !(mark('T') || mark('t') || mark(' ')) || !digits(2, hour) || !mark(':') ||
        !digits(2, minute) || !mark(':') || !digits(2, second))
        return std::nullopt;
    if (mark('.')) {
        // Milliseconds from the first three digits; more are allowed and ignored.
        int scale = 100, taken = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (taken++ < 3) ms += (text[at] - '0') * scale, scale /= 10;
            ++at;
        }
        if (taken == 0) return std::nullopt;
    }
    int offsetMinutes = 0;
    if (mark('Z') || mark('z')) {
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        int oh, om;
        if (!digits(2, oh) || !mark(':') || !digits(2, om)) return std::nullopt;
        offsetMinutes = sign * (oh * 60 + om);
    } else {
        return std::nullopt;
    }
    if (at != text.size() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const std::int64_t utc = static_cast<std::int64_t>(timegm(&tm));
    return (utc - offsetMinutes * 60) * 1000 + ms;
}
