#pragma once

#include <cstdint>

#include "thread/device.h"

// The byte stream under the protocol engine: a serial port, a TCP client or a TCP server.
// Every driver is also a Device, polled by the control thread on each pass.
class SerialDriver : public Device {
public:
    ~SerialDriver() override = default;
    // Poll (slot 1) and HandleEvent (slot 2) come from Device.

    virtual void Close() = 0;
    virtual void Configure(int baudIndex, int dataBitsIndex, int stopBitsIndex, int parityIndex) = 0;
    virtual void Purge() = 0;
    virtual void Flush() = 0;
    // 1 and the next received byte in `value` when one is waiting, else 0; never waits.
    virtual std::int32_t ReadChar(std::int32_t& value) = 0;
    // Reads up to and including `terminator` into `buffer` (which holds capacity + 1 bytes).
    // 0 line complete, -1 time-out, -2 buffer full.
    virtual std::int32_t ReadLine(char* buffer, std::int32_t capacity, std::int32_t timeoutSeconds,
                                  char terminator, char ignored);
    virtual bool IsOpen() = 0;
    virtual std::int32_t Open(const char* name) = 0;
    virtual std::int32_t WriteChar(std::uint8_t byte) = 0;
    // `length` bytes of `text` through WriteChar; 0 means up to the first NUL.
    virtual void WriteString(const char* text, std::int32_t length) = 0;
    // 0 hardware (DTR/DSR), 1 software (XON/XOFF), anything else none.
    virtual void SetFlowControl(int mode) = 0;
    virtual void SetRts(bool on) = 0;
    virtual void SetDtr(bool on) = 0;
};
