#include "drivers/serial_win_comm.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "protocol/engine_rig.h"
#include "protocol/frame_stream.h"
#include "protocol/vantor_protocol.h"
#include "base/event_manager.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Polls `done` every millisecond for up to two seconds.
template <typename Done>
bool WaitFor(Done done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

TEST(SerialPortName, NamesMapToDevicePathsAndPathsStayWhole) {
    EXPECT_EQ(SerialWinComm::DevicePathFor("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialWinComm::DevicePathFor("COM1"), "/dev/ttyS0");
    EXPECT_EQ(SerialWinComm::DevicePathFor("com12"), "/dev/ttyS11");
    EXPECT_EQ(SerialWinComm::DevicePathFor("COM0"), "/dev/COM0");
    EXPECT_EQ(SerialWinComm::DevicePathFor("COM"), "/dev/COM");
    EXPECT_EQ(SerialWinComm::DevicePathFor("COM1a"), "/dev/COM1a");
    EXPECT_EQ(SerialWinComm::DevicePathFor("COM99999999999"), "/dev/COM99999999999");
    const std::string byId = "/dev/serial/by-id/usb-Vendor_USB_Serial_Converter_A1B2C3D4-if00-port0";
    EXPECT_EQ(SerialWinComm::DevicePathFor(byId), byId);
    EXPECT_EQ(SerialWinComm::DevicePathFor("/dev/pts/3"), "/dev/pts/3");
}

TEST(SerialWinComm, PortThatCannotBeOpenedStaysClosedAndDoesNothing) {
    SerialWinComm port("/dev/no-such-serial-port-here", 512, 512);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Open("ttyNoSuchPort99"), 0);
    EXPECT_EQ(port.devicePath, "/dev/ttyNoSuchPort99");
    EXPECT_EQ(port.Open(""), 0);
    EXPECT_EQ(port.Open(nullptr), 0);
    EXPECT_EQ(port.Open("/dev/null"), 0) << "not a terminal, so not a port";
    EXPECT_FALSE(port.IsOpen());

    std::int32_t value = -7;
    EXPECT_EQ(port.ReadChar(value), 0);
    EXPECT_EQ(value, -7);
    EXPECT_EQ(port.WriteChar('x'), 0);
    port.SetFlowControl(0);
    EXPECT_EQ(port.flowMode, 1) << "a closed port does not remember the mode";
    port.Configure(0, 0, 1, 0);
    port.SetRts(true);
    port.SetDtr(true);
    EXPECT_FALSE(port.GetCts());
    EXPECT_FALSE(port.GetDsr());
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

// A pseudo-terminal pair: the driver opens the terminal side by its path; the test plays the
// peer on the other side and reads the terminal settings back through its own descriptor.
class Pty : public ::testing::Test {
protected:
    void SetUp() override {
        char name[128] = {};
        ASSERT_EQ(::openpty(&peer_, &terminal_, name, nullptr, nullptr), 0);
        path_ = name;
        ::fcntl(peer_, F_SETFL, ::fcntl(peer_, F_GETFL) | O_NONBLOCK);
    }
    void TearDown() override {
        if (peer_ >= 0) ::close(peer_);
        ::close(terminal_);
    }

    termios Settings() const {
        termios tio{};
        EXPECT_EQ(::tcgetattr(terminal_, &tio), 0);
        return tio;
    }
    void PeerWrite(const Bytes& bytes) const {
        ASSERT_EQ(::write(peer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Up to `n` bytes that the driver sent, waiting up to two seconds for them.
    Bytes PeerRead(std::size_t n) const {
        Bytes got;
        WaitFor([&] {
            std::uint8_t byte;
            while (got.size() < n && ::read(peer_, &byte, 1) == 1) got.push_back(byte);
            return got.size() == n;
        });
        return got;
    }
    bool PeerHasInput(int ms) const {
        pollfd p{peer_, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }
    int TerminalInput() const {
        int n = -1;
        ::ioctl(terminal_, FIONREAD, &n);
        return n;
    }
    // Sends XOFF and waits until the terminal has taken it (the marker behind it is readable).
    void HoldOutput(SerialWinComm& port) const {
        PeerWrite({0x13, 'm'});
        std::int32_t value = 0;
        ASSERT_TRUE(WaitFor([&] { return port.ReadChar(value) == 1; }));
        ASSERT_EQ(value, 'm') << "XOFF is flow control, not data";
    }

    // Writes `byte` on a thread of its own while the line holds it back, checks that nothing
    // leaves meanwhile, then calls `release` and returns what WriteChar returned.
    template <typename Release>
    int HeldWrite(SerialWinComm& port, std::uint8_t byte, Release release) const {
        std::atomic<int> result{-1};
        std::thread writer([&] { result = port.WriteChar(byte); });
        EXPECT_FALSE(PeerHasInput(100));
        EXPECT_EQ(result.load(), -1) << "the write waits while the line is held";
        release();
        writer.join();
        return result.load();
    }

    int peer_ = -1;
    int terminal_ = -1;
    std::string path_;
};

TEST_F(Pty, ConstructionOpensRawWithDefaultsAndSoftwareFlowControl) {
    SerialWinComm port(path_.c_str(), 512, 512);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(port.devicePath, path_);
    const termios tio = Settings();
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(cfgetispeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | IXANY), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);

    // Open on an open port changes nothing.
    const int handle = port.handle;
    EXPECT_EQ(port.Open("/dev/no-such-serial-port-here"), 1);
    EXPECT_EQ(port.handle, handle);
    EXPECT_EQ(port.devicePath, path_);
}

struct LineCase {
    int baud, bits, stop, parity;
    speed_t speed;
    tcflag_t size;
    tcflag_t parityFlags;
    bool twoStops;

    std::string Name() const {
        return "indexes " + std::to_string(baud) + "," + std::to_string(bits) + "," +
               std::to_string(stop) + "," + std::to_string(parity);
    }
};

const LineCase kLineCases[] = {
    {0, 0, 1, 0, B115200, CS7, PARENB, true},
    {1, 1, 0, 1, B57600, CS8, PARENB | PARODD, false},
    {2, 0, 0, 2, B38400, CS7, 0, false},
    {3, 1, 1, 0, B19200, CS8, PARENB, true},
    {4, 1, 0, 2, B9600, CS8, 0, false},
    {5, 0, 0, 1, B4800, CS7, PARENB | PARODD, false},
    {6, 1, 1, 2, B2400, CS8, 0, true},
    {7, 0, 0, 0, B1200, CS7, PARENB, false},
    // Indexes outside a table, -1 from the preferences dialog included, take the defaults
    // (9600 bits/s, 8 data bits, 1 stop bit, no parity) setting by setting.
    {-1, -1, -1, -1, B9600, CS8, 0, false},
    {8, 2, 2, 3, B9600, CS8, 0, false},
    {1, -1, 1, 7, B57600, CS8, 0, true},
};

TEST(SerialLineSettings, TablesMapToTermiosAndIndexesOutsideThemTakeTheDefaults) {
    for (const LineCase& c : kLineCases) {
        // Start from a cooked terminal with every setting the opposite way.
        termios tio{};
        tio.c_iflag = ICRNL | IXANY | ISTRIP | INPCK;
        tio.c_oflag = OPOST | ONLCR;
        tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        tio.c_cflag = CS6 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 5;
        SerialWinComm::ApplyLineSettings(tio, c.baud, c.bits, c.stop, c.parity, 2);
        EXPECT_EQ(cfgetospeed(&tio), c.speed) << c.Name();
        EXPECT_EQ(cfgetispeed(&tio), c.speed) << c.Name();
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size) << c.Name();
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), c.parityFlags) << c.Name();
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStops) << c.Name();
        EXPECT_EQ(tio.c_cflag & (CRTSCTS | CREAD | CLOCAL | HUPCL),
                  static_cast<tcflag_t>(CREAD | CLOCAL | HUPCL));
        EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(INPCK)) << "parity checking is left alone";
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
    }
}

TEST_F(Pty, ConfigureReachesTheLine) {
    // A pseudo-terminal keeps speed, stop bits and PARODD as set, but the kernel always makes
    // it CS8 without PARENB; the test above covers those two through ApplyLineSettings.
    SerialWinComm port(path_.c_str(), 512, 512);
    for (const LineCase& c : kLineCases) {
        port.Configure(0, 0, 1, 1);  // start from the opposite of the defaults
        port.Configure(c.baud, c.bits, c.stop, c.parity);
        ASSERT_TRUE(port.IsOpen());
        const termios tio = Settings();
        EXPECT_EQ(cfgetospeed(&tio), c.speed) << c.Name();
        EXPECT_EQ(cfgetispeed(&tio), c.speed) << c.Name();
        EXPECT_EQ(tio.c_cflag & PARODD, c.parityFlags & PARODD) << c.Name();
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStops) << c.Name();
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF))
            << "Configure keeps the flow-control mode";
    }
}

TEST_F(Pty, EachFlowControlModeReadsBack) {
    SerialWinComm port(path_.c_str(), 512, 512);
    for (int mode : {0, 1, 2, 9, 1}) {
        port.SetFlowControl(mode);
        EXPECT_EQ(port.flowMode, mode);
        const termios tio = Settings();
        const tcflag_t xonXoff = mode == 1 ? IXON | IXOFF : 0;
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), xonXoff) << "mode " << mode;
        EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u) << "mode " << mode;
        if (mode == 1) {
            EXPECT_EQ(tio.c_cc[VSTART], 0x11);
            EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
        }
    }
    // Configure applies the mode last chosen.
    port.SetFlowControl(2);
    port.Configure(4, 1, 0, 2);
    EXPECT_EQ(Settings().c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(Pty, CloseDiscardsUnreadInputAndOpenWithoutANameReopens) {
    SerialWinComm port(path_.c_str(), 512, 512);
    PeerWrite({'a', 'b', 'c'});
    ASSERT_TRUE(WaitFor([&] { return TerminalInput() == 3; }));
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(TerminalInput(), 0);
    EXPECT_EQ(port.Open(nullptr), 1);
    std::int32_t value = 0;
    EXPECT_EQ(port.ReadChar(value), 0);
}

// Logs the line operations that a pseudo-terminal cannot show.
class LoggingPort : public SerialWinComm {
public:
    using SerialWinComm::SerialWinComm;
    void Flush() override {
        log += "flush ";
        SerialWinComm::Flush();
    }
    void Purge() override {
        log += "purge ";
        SerialWinComm::Purge();
    }
    void SetDtr(bool on) override {
        log += on ? "dtr-on " : "dtr-off ";
        SerialWinComm::SetDtr(on);
    }
    std::string log;
};

TEST_F(Pty, ConfigureRaisesDtrAndCloseDrainsPurgesAndDropsIt) {
    LoggingPort port(path_.c_str(), 512, 512);
    port.Configure(0, 0, 0, 0);
    EXPECT_EQ(port.log, "dtr-on ");
    port.log.clear();
    port.Close();
    EXPECT_EQ(port.log, "flush purge dtr-off ");
    port.log.clear();
    port.Close();
    port.Configure(0, 0, 0, 0);
    EXPECT_EQ(port.log, "") << "a closed port touches no line";
}

TEST_F(Pty, PortIsOpenedExclusively) {
    if (::geteuid() == 0) GTEST_SKIP() << "the exclusive lock does not hold against root";
    SerialWinComm first(path_.c_str(), 512, 512);
    ASSERT_TRUE(first.IsOpen());
    SerialWinComm second(path_.c_str(), 512, 512);
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(Pty, EngineExchangesFramesBothWays) {
    SerialWinComm port(path_.c_str(), 512, 512);
    port.SetFlowControl(2);
    EventManager events;
    VantorProtocol engine(&port, 1, [] { return std::int64_t{1000}; });
    engine.eventSink = &events;
    EXPECT_EQ(port.flowMode, 1) << "the engine asks for software flow control";
    // The open port is one conversation from the first poll.
    engine.Poll();
    Event e;
    ASSERT_TRUE(events.GetEvent(e));
    EXPECT_EQ(e.id, EventId::Session);
    EXPECT_EQ(std::get<SessionInfo>(e.payload).session, 1u);

    // The peer sends a message; the engine answers and reports it.
    PeerWrite(frame_stream::Frame('M', 0, "PING"));
    ASSERT_TRUE(WaitFor([&] {
        engine.Poll();
        return !events.Empty();
    }));
    ASSERT_TRUE(events.GetEvent(e));
    EXPECT_EQ(e.id, EventId::MessageReceived);
    EXPECT_EQ(RecordOf(e), "OK           {DELIM]M{DELIM]123{DELIM]123{DELIM]PING");
    const Bytes answer = frame_stream::Frame('M', 0x06, "");
    EXPECT_EQ(PeerRead(answer.size()), answer);

    // The engine sends a message; the peer answers it.
    engine.QueueMessage(4, 'A', "HI", nullptr, 0);
    engine.Poll();
    const Bytes message = frame_stream::Frame('A', 0, "HI");
    EXPECT_EQ(PeerRead(message.size()), message);
    PeerWrite(frame_stream::Frame('A', 0x06, "OK"));
    ASSERT_TRUE(WaitFor([&] {
        engine.Poll();
        return events.Size() == 2;
    }));
    ASSERT_TRUE(events.GetEvent(e));
    EXPECT_EQ(e.id, EventId::ResponseAccepted);
    EXPECT_EQ(e.source, 4);
    EXPECT_EQ(e.text, "OK");
    ASSERT_TRUE(events.GetEvent(e));
    EXPECT_EQ(e.id, EventId::Status);
    EXPECT_EQ(e.value, 0);
}

TEST_F(Pty, WriteHeldByXoffWaitsForXonAndEndsWhenStopIsRequested) {
    SerialWinComm port(path_.c_str(), 512, 512);
    std::stop_source stop;
    port.SetStopToken(stop.get_token());
    HoldOutput(port);
    EXPECT_EQ(HeldWrite(port, 'x', [&] { PeerWrite({0x11}); }), 1) << "XON releases it";
    EXPECT_EQ(PeerRead(1), Bytes{'x'});

    HoldOutput(port);
    EXPECT_EQ(HeldWrite(port, 'y', [&] { stop.request_stop(); }), 0);
    EXPECT_EQ(port.WriteChar('z'), 0) << "after the stop request a held write does not wait";
    EXPECT_FALSE(PeerHasInput(20));
    port.Close();  // must not hang on the held output either
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(Pty, PortWhoseOtherEndIsGoneNeitherReadsNorWaitsToWrite) {
    SerialWinComm port(path_.c_str(), 512, 512);
    ::close(peer_);
    peer_ = -1;
    std::int32_t value = 0;
    EXPECT_EQ(port.ReadChar(value), 0);
    EXPECT_EQ(port.WriteChar('x'), 0);  // with no stop token: it must fail, not wait
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

// A port whose DSR line the test sets.
class DsrPort : public SerialWinComm {
public:
    using SerialWinComm::SerialWinComm;
    bool GetDsr() override { return dsr; }
    std::atomic<bool> dsr{false};
};

TEST_F(Pty, HardwareFlowControlWaitsForDsr) {
    {
        // A pseudo-terminal has no modem lines: DSR reads as off.
        SerialWinComm plain(path_.c_str(), 512, 512);
        EXPECT_FALSE(plain.GetDsr());
        EXPECT_FALSE(plain.GetCts());
    }
    DsrPort port(path_.c_str(), 512, 512);
    std::stop_source stop;
    port.SetStopToken(stop.get_token());
    port.SetFlowControl(0);
    EXPECT_EQ(HeldWrite(port, 'x', [&] { port.dsr = true; }), 1);
    EXPECT_EQ(PeerRead(1), Bytes{'x'});

    port.dsr = false;
    EXPECT_EQ(HeldWrite(port, 'y', [&] { stop.request_stop(); }), 0);
    EXPECT_FALSE(PeerHasInput(20));

    // A write that needs no wait still goes out after the stop request.
    port.SetFlowControl(2);
    EXPECT_EQ(port.WriteChar('z'), 1);
    EXPECT_EQ(PeerRead(1), Bytes{'z'});
}

// A line that never lets its output go (a peer holding it with XOFF): closing waits no longer
// than the bytes need at the line's speed plus a second, then discards them and closes.
class NeverDrainingPort : public SerialWinComm {
public:
    using SerialWinComm::SerialWinComm;
    ~NeverDrainingPort() override {
        held = false;
        Close();
    }
    bool held = true;

protected:
    int PendingOutput() const override { return held ? 100 : SerialWinComm::PendingOutput(); }
};

TEST_F(Pty, ClosingAPortWhoseOutputNeverLeavesEndsAfterItsBound) {
    NeverDrainingPort port(path_.c_str(), 512, 512);  // no stop token: only the bound ends it
    ASSERT_TRUE(port.IsOpen());
    port.Close();  // 100 bytes at 9600 bits/s: about 1.1 s
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(Pty, WriteStringTakesNoNullTextAndNoNegativeLength) {
    SerialWinComm port(path_.c_str(), 512, 512);
    port.WriteString(nullptr, 0);
    port.WriteString(nullptr, 3);
    port.WriteString("abc", -1);
    EXPECT_FALSE(PeerHasInput(20));
    port.WriteString("abc", 2);
    EXPECT_EQ(PeerRead(2), (Bytes{'a', 'b'}));
}

}  // namespace
