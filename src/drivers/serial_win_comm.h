#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "drivers/serial_driver.h"
#include "settings/names.h"

struct termios;

// RS232 port driver over POSIX termios. The port is opened exclusively and non-blocking and set
// to raw mode with reads that return at once; writes wait only while the line holds them back
// (XOFF received, or DSR off under hardware flow control), and stop waiting as soon as the
// driver's stop token is triggered or the port fails.
class SerialWinComm : public SerialDriver {
public:
    // The line settings are indexes into the settings' tables (kBaudRates, kDataBits,
    // kStopBits).
    enum Parity { ParityEven, ParityOdd, ParityNone };
    // What an index outside its table is replaced by: 9600 bits/s, 8 data bits, 1 stop bit,
    // no parity (the settings a new driver starts with).
    static constexpr int kDefaultBaud = 4, kDefaultDataBits = 1, kDefaultStopBits = 0,
                         kDefaultParity = ParityNone;

    // Opens `name` (if any) and configures it with the defaults. A failed open is silent: the
    // driver just reports not open.
    SerialWinComm(const char* name, std::int32_t inQueueSize, std::int32_t outQueueSize);
    ~SerialWinComm() override;

    void Poll() override {}

    void Close() override;
    void Configure(int baudIndex, int dataBitsIndex, int stopBitsIndex, int parityIndex) override;
    void Purge() override;
    void Flush() override;
    std::int32_t ReadChar(std::int32_t& value) override;
    bool IsOpen() override { return opened != 0; }
    // `name`: null reopens the previous path. 1 on success (also when already open), else 0.
    std::int32_t Open(const char* name) override;
    std::int32_t WriteChar(std::uint8_t byte) override;
    void WriteString(const char* text, std::int32_t length) override;
    void SetFlowControl(int mode) override;
    void SetRts(bool on) override;
    void SetDtr(bool on) override;
    virtual bool GetCts();
    virtual bool GetDsr();
    // The modem status lines (TIOCM_* bits); false when they cannot be read.
    bool ModemLines(int& lines) const;
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override;
    void SetBreak(bool on) override;

    // The device path for a port name: a name without "/" lives in /dev ("ttyUSB0"), "COMn" is
    // /dev/ttyS(n-1) so that settings from elsewhere keep working, and anything with a "/" is a
    // path used whole. Long paths (/dev/serial/by-id/...) are never cut.
    static std::string DevicePathFor(std::string_view name);

    // Puts raw mode, the line settings (indexes into the tables; one outside its table takes
    // the default) and the flow-control mode into `tio`, leaving every other field as it is.
    static void ApplyLineSettings(termios& tio, int baudIndex, int dataBitsIndex,
                                  int stopBitsIndex, int parityIndex, int flowMode);

    std::int32_t opened = 0;
    std::int32_t inQueueSize;
    std::int32_t outQueueSize;
    std::int32_t flowMode = 1;
    std::string devicePath;
    int handle = -1;

protected:
    // Bytes written but not yet sent by the port; a seam for tests.
    virtual int PendingOutput() const;

private:
    void ChangeModemLine(int line, bool on);
    // Waits up to a short slice for the port to take more output; false when the wait must end
    // (stop requested, port closed or failed).
    bool WaitWritable();
    bool MayWait() const { return opened != 0 && !StopRequested(); }
    // Waits until the output has left, but no longer than the pending bytes need at the line's
    // speed plus a second: a peer holding the line with XOFF must not freeze a close.
    void DrainOutput();
    void Release();

    int bitsPerSecond_ = kBaudRates[kDefaultBaud];
};
