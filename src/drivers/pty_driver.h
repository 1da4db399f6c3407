#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "drivers/line_pacer.h"
#include "drivers/serial_driver.h"

struct termios;

// The settings of one end of a serial line.
struct LineSettings {
    int baud = 9600;
    int dataBits = 8;
    char parity = 'N';  // 'N', 'E' or 'O'
    int stopBits = 1;

    bool operator==(const LineSettings&) const = default;
    // "115200,8,N,1"
    std::string Text() const;
    // "115200 baud, 1 stop bit": what a pseudo-terminal shows of a host's line (the rest it
    // cannot show).
    std::string SpeedAndStop() const;
    int BitsPerByte() const { return ::BitsPerByte(dataBits, parity != 'N', stopBits); }
    // What a terminal's settings say (speed, CSIZE, PARENB/PARODD, CSTOPB); baud 0 when its
    // speed is not one of the standard rates.
    static LineSettings Of(const termios& tio);
};

// A virtual serial port: a pseudo-terminal pair whose terminal side the host software opens
// through a symbolic link (say ~/ttyVSIM0), as it would a real port, while the simulator
// serves the link on the other side. Output is paced at the configured line rate, so the host
// sees bytes arrive as fast as a real line carries them and no faster. Nothing waits: pacing
// runs on a timer of the control thread's io_context, and readiness of the port wakes the
// thread through the same io_context.
//
// The host's own line settings are read from the terminal side. A pseudo-terminal carries
// speed and stop bits as the host sets them, but the kernel forces 8 data bits and no parity
// on it, so data bits and parity of the host cannot be known: only speed and stop bits are
// compared with the simulator's.
class PtyDriver : public SerialDriver {
public:
    // `txCapacity`: bytes written and not yet paced out that the driver keeps; beyond it (the
    // host is not reading) bytes are dropped and counted.
    explicit PtyDriver(boost::asio::io_context& io, std::size_t txCapacity = 65536);
    ~PtyDriver() override;

    // Creates the pair and makes `linkPath` a symbolic link to its terminal side. A link left
    // by an earlier run that crashed (one to a pseudo-terminal that no longer exists) is
    // replaced; anything else at the path (a file, a directory, a link elsewhere, a link to a
    // pseudo-terminal another program holds) is left alone and the open fails, as it does
    // while another running simulator serves the same path. 1 on success (also when
    // already open), else 0 with the reason in OpenError(). Null reopens the last path.
    std::int32_t Open(const char* linkPath) override;
    const std::string& OpenError() const { return openError_; }
    const std::string& LinkPath() const { return linkPath_; }
    // The terminal side's own name (/dev/pts/N).
    const std::string& TerminalPath() const { return terminalPath_; }

    void Poll() override { Pump(); }
    // Removes the link (if it still points at this port) and closes the pair.
    void Close() override;
    // The simulator's line settings, indexes into the settings' tables (one outside its table
    // takes the default, as on a real port). Sets the output pace. Until a host sets its own
    // line, the terminal side carries these settings too.
    void Configure(int baudIndex, int dataBitsIndex, int stopBitsIndex, int parityIndex) override;
    // Discards what the host wrote and was not read yet.
    void Purge() override;
    // Nothing: queued bytes leave at the line's pace; waiting for them would hold the thread.
    void Flush() override {}
    std::int32_t ReadChar(std::int32_t& value) override { return ReadCharFromBlock(value); }
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override;
    bool IsOpen() override { return master_ >= 0; }
    std::int32_t WriteChar(std::uint8_t byte) override;
    void WriteString(const char* text, std::int32_t length) override;
    void Push() override { Pump(); }
    // A pseudo-terminal has no flow-control signals and no modem lines: the mode and the
    // states of DTR and RTS are kept but reach nobody.
    void SetFlowControl(int mode) override { flowMode_ = mode; }
    void SetRts(bool on) override { rts_ = on; }
    void SetDtr(bool on) override { dtr_ = on; }
    // While the break holds, no byte leaves; when it ends, the host reads it as its terminal
    // settings make it read a break on a real port (nothing with IGNBRK, 0xFF 0x00 0x00 with
    // PARMRK, else one 0x00), and output goes on.
    void SetBreak(bool on) override;

    bool Dtr() const { return dtr_; }
    bool Rts() const { return rts_; }
    int FlowMode() const { return flowMode_; }

    const LineSettings& OwnSettings() const { return own_; }
    // What the terminal side says now, as the host last set it.
    const LineSettings& HostSettings() const { return host_; }
    // The host's speed or stop bits differ from the simulator's: on a real line the bytes
    // would arrive garbled.
    bool Mismatch() const;
    // Called on the control thread whenever the host's settings change.
    void SetHostListener(std::function<void(const LineSettings& host, bool mismatch)> listener) {
        hostListener_ = std::move(listener);
    }
    // When on, a change that leaves the two sides mismatched is reported as an error (event
    // 10003), as real hardware would garble the line.
    void SetReportMismatch(bool on) { reportMismatch_ = on; }

    std::size_t QueuedBytes() const { return txQueue_.size(); }
    std::uint64_t DroppedBytes() const { return droppedBytes_; }

private:
    void Release();
    bool ClaimPath(const std::string& absolute);
    void Fail(const std::string& text);
    void SetTerminal();
    void RefreshHost();
    void ArmWatch();
    void Watched();
    void ArmPace(std::int64_t dueNs);
    void Pump();
    void Report(const std::string& text);

    boost::asio::io_context& io_;
    std::size_t txCapacity_;
    int master_ = -1;
    int slave_ = -1;      // kept open: the host may come and go, and its settings are read here
    int lockFd_ = -1;     // holds the path against a second simulator while the port is open
    std::string linkPath_;
    std::string terminalPath_;
    std::string openError_;

    LineSettings own_;
    LineSettings host_;
    LineSettings lastSet_;  // what the simulator last put on the terminal side
    bool reportMismatch_ = false;
    bool reportedMismatch_ = false;
    std::function<void(const LineSettings&, bool)> hostListener_;

    std::deque<std::uint8_t> txQueue_;
    std::size_t overdue_ = 0;  // bytes at the queue's front already due but not yet taken
    LinePacer pacer_;
    bool breakHeld_ = false;
    std::uint64_t droppedBytes_ = 0;
    bool dropReported_ = false;
    std::vector<std::uint8_t> readBuffer_;
    std::vector<std::uint8_t> writeBuffer_;
    int flowMode_ = 2;
    bool dtr_ = false;
    bool rts_ = false;

    std::unique_ptr<boost::asio::posix::stream_descriptor> watch_;
    bool watching_ = false;
    boost::asio::steady_timer paceTimer_;
    std::int64_t paceArmedFor_ = -1;
    std::int64_t lastPumpNs_ = 0;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
