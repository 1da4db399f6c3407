#include "drivers/serial_driver.h"

std::int32_t SerialDriver::ReadLine(char* buffer, std::int32_t capacity,
                                    std::int32_t timeoutSeconds, char terminator, char ignored) {
    std::int32_t result = 0;
    std::int32_t count = 0;
    std::int64_t elapsed = 0;
    const std::int64_t start = Now();
    // The clock is read only when nothing is waiting, so a steady stream is read past the
    // time-out until its first gap. A time-out of 0 never expires: only a stop request ends it.
    while (elapsed <= timeoutSeconds) {
        if (StopRequested()) {
            result = -1;
            break;
        }
        std::int32_t value = 0;
        if (ReadChar(value) != 0) {
            const char byte = static_cast<char>(value);
            if (byte == ignored) continue;
            if (count >= capacity) {
                result = -2;
                break;
            }
            buffer[count++] = byte;
            if (byte == terminator) {
                buffer[count] = 0;
                result = 0;
                break;
            }
        } else {
            result = -1;
            const std::int64_t now = Now();
            if (timeoutSeconds > 0) elapsed = now - start;
        }
    }
    return result;
}

std::size_t SerialDriver::ReadBlock(std::uint8_t* buffer, std::size_t capacity) {
    std::size_t count = 0;
    std::int32_t value = 0;
    while (count < capacity && ReadChar(value) != 0) buffer[count++] = static_cast<std::uint8_t>(value);
    return count;
}

std::int32_t SerialDriver::ReadCharFromBlock(std::int32_t& value) {
    std::uint8_t byte = 0;
    if (ReadBlock(&byte, 1) == 0) return 0;
    value = byte;
    return 1;
}

void SerialDriver::WriteTo(std::uint64_t, const std::uint8_t* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) WriteChar(data[i]);
}
