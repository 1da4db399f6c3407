#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>
#include <utility>

#include "drivers/seconds_clock.h"
#include "base/device.h"

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

    // Beyond the slots: what the event-driven control thread needs.
    // Reads what is waiting, up to `capacity` bytes, without waiting; 0 when nothing is. The
    // default takes them one by one through ReadChar.
    virtual std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity);
    // True when bytes are known to be waiting without a system call (a driver that cannot tell
    // cheaply answers false; the engine then reads until a read finds nothing).
    virtual bool HasInput() { return false; }
    // Sends what WriteChar queued since the last call, in one write. The engine calls it at the
    // end of every poll in which it wrote, so a frame leaves in one piece and at once.
    virtual void Push() {}
    // Ends the connection(s) now (TCP); a serial port has nothing to drop (its DTR is dropped
    // through SetDtr instead).
    virtual void DropLink() {}
    // Ends the connection(s) as a failing network does: TCP sends a reset, not a close. A link
    // that cannot tell the two apart drops.
    virtual void ResetLink() { DropLink(); }
    // Ends the one connection `origin` (0, or a link that is one line: the whole link).
    virtual void DropConnection(std::uint64_t origin) {
        (void)origin;
        DropLink();
    }
    // Holds the line in the break state, or releases it (serial; nothing on TCP).
    virtual void SetBreak(bool) {}
    // Which connection the bytes of the last ReadBlock (or ReadChar) came from, so that an
    // answer can go back there: 0 for a link that is one line (serial). A TCP driver hands
    // out the bytes of one connection per block.
    virtual std::uint64_t LastOrigin() const { return 0; }
    // Whether bytes written to `origin` would reach it now (0: the link as a whole).
    virtual bool Reaches(std::uint64_t origin) const { return origin == 0; }
    // Whether bytes written now would leave for the other end at all: a TCP link needs a
    // connection; a serial or virtual port, being open (a line cannot tell who listens).
    virtual bool CanDeliver() { return IsOpen(); }
    // Writes like WriteChar, to the connection `origin` only (0: as WriteChar does). Bytes for
    // a connection that has gone by the time they are sent are dropped, never sent elsewhere.
    virtual void WriteTo(std::uint64_t origin, const std::uint8_t* data, std::size_t length);

    // Not slots: seams for the control thread and for tests.
    // The clock ReadLine reads; monotonic whole seconds unless replaced.
    void SetClock(SecondsClock clock) { clock_ = std::move(clock); }
    // Once stop is requested on this token (the control thread is asked to end), nothing in the
    // driver waits any longer: a write held back by the line gives up, Flush stops waiting and
    // ReadLine returns -1. Requesting stop is safe from any thread.
    void SetStopToken(std::stop_token token) { stopToken_ = std::move(token); }
    // Called when a connection is made (`up`) or ends, with its origin and the other side's
    // address, before any of a new connection's bytes are read: whoever records the link says
    // so before its first frame. A link that is one line (serial) never calls it.
    using PeerChanged = std::function<void(std::uint64_t origin, const std::string& peer, bool up)>;
    void SetOnPeersChanged(PeerChanged changed) { peersChanged_ = std::move(changed); }
    // Whether the link tells its connections through the call above (TCP); a link that does
    // not is one conversation for as long as it is open.
    virtual bool TellsPeers() const { return false; }
    // The other side's address of every open connection, oldest first (none for a line).
    virtual std::vector<std::string> PeerAddresses() const { return {}; }

protected:
    void PeersChanged(std::uint64_t origin, const std::string& peer, bool up) {
        if (peersChanged_) peersChanged_(origin, peer, up);
    }
    // ReadChar for a driver that reads in blocks: one byte through ReadBlock.
    std::int32_t ReadCharFromBlock(std::int32_t& value);
    bool StopRequested() const { return stopToken_.stop_requested(); }
    std::int64_t Now() const { return clock_(); }

private:
    SecondsClock clock_ = SteadySeconds;
    std::stop_token stopToken_;
    PeerChanged peersChanged_;
};
