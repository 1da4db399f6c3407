#include "drivers/serial_win_comm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr speed_t kSpeeds[] = {B115200, B57600, B38400, B19200, B9600, B4800, B2400, B1200};
static_assert(std::size(kSpeeds) == std::size(kBaudRates));

constexpr std::uint8_t XON = 0x11;
constexpr std::uint8_t XOFF = 0x13;

// How long one wait for the line lasts before the stop token and the port are looked at again.
constexpr int kWaitSliceMs = 20;

// An index outside its table takes the table's default rather than reaching the line.
int Checked(int index, int tableSize, int fallback) {
    return index >= 0 && index < tableSize ? index : fallback;
}

void ApplyFlowControl(termios& tio, int mode) {
    // CTS output flow control is off in every mode, and RTS is never driven by the port.
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (mode == 1) {
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = XON;
        tio.c_cc[VSTOP] = XOFF;
    }
    // Mode 0 (DSR output flow control) has no termios flag: WriteChar waits for DSR itself.
}


}  // namespace

SerialWinComm::SerialWinComm(const char* name, std::int32_t inQueueSize, std::int32_t outQueueSize)
    : inQueueSize(inQueueSize), outQueueSize(outQueueSize) {
    Open(name);
    Configure(kDefaultBaud, kDefaultDataBits, kDefaultStopBits, kDefaultParity);
}

SerialWinComm::~SerialWinComm() { Close(); }

std::string SerialWinComm::DevicePathFor(std::string_view name) {
    if (name.find('/') != std::string_view::npos) return std::string(name);
    return "/dev/" + PortDisplayName(name);
}

std::int32_t SerialWinComm::Open(const char* name) {
    if (opened) return 1;
    if (name != nullptr) devicePath = *name ? DevicePathFor(name) : std::string();
    if (devicePath.empty()) return 0;
    // O_NONBLOCK: neither the open nor any read or write may hang on the modem lines.
    // O_NOCTTY: a port never becomes the program's controlling terminal.
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    // Only a terminal device is a port; TIOCEXCL keeps other programs from opening it too.
    if (!::isatty(fd) || ::ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return 0;
    }
    handle = fd;
    opened = 1;
    return 1;
}

void SerialWinComm::Release() {
    if (handle >= 0) {
        // The exclusive mode belongs to the terminal, not to our descriptor: it would outlive
        // the close while anyone else still has the device open.
        ::ioctl(handle, TIOCNXCL);
        ::close(handle);
    }
    handle = -1;
    opened = 0;
}

void SerialWinComm::Close() {
    if (!opened) return;
    Flush();
    Purge();
    SetDtr(false);
    // Output that Flush gave up on (held too long, or stop requested) would otherwise make
    // close() sit in the kernel's closing wait.
    if (PendingOutput() > 0) ::tcflush(handle, TCOFLUSH);
    Release();
}

int SerialWinComm::PendingOutput() const {
    int pending = 0;
    return opened && ::ioctl(handle, TIOCOUTQ, &pending) == 0 ? pending : 0;
}

void SerialWinComm::Configure(int baudIndex, int dataBitsIndex, int stopBitsIndex,
                              int parityIndex) {
    if (!opened) return;
    // The kernel sizes its own port buffers; inQueueSize and outQueueSize have no counterpart.
    termios tio{};
    if (::tcgetattr(handle, &tio) != 0) {
        // A port whose settings cannot be read is of no use; let it go so it can be reopened.
        Release();
        return;
    }
    ApplyLineSettings(tio, baudIndex, dataBitsIndex, stopBitsIndex, parityIndex, flowMode);
    if (::tcsetattr(handle, TCSANOW, &tio) != 0) {
        Release();
        return;
    }
    bitsPerSecond_ = kBaudRates[Checked(baudIndex, std::size(kBaudRates), kDefaultBaud)];
    SetDtr(true);
}

void SerialWinComm::ApplyLineSettings(termios& tio, int baudIndex, int dataBitsIndex,
                                      int stopBitsIndex, int parityIndex, int flowMode) {
    baudIndex = Checked(baudIndex, std::size(kBaudRates), kDefaultBaud);
    dataBitsIndex = Checked(dataBitsIndex, std::size(kDataBits), kDefaultDataBits);
    stopBitsIndex = Checked(stopBitsIndex, std::size(kStopBits), kDefaultStopBits);
    parityIndex = Checked(parityIndex, 3, kDefaultParity);

    // Raw, binary mode: no line editing, echo, signals, translation or output processing.
    // INPCK (checking received parity) is left as the port had it.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CREAD | CLOCAL;

    cfsetispeed(&tio, kSpeeds[baudIndex]);
    cfsetospeed(&tio, kSpeeds[baudIndex]);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= kDataBits[dataBitsIndex] == 7 ? CS7 : CS8;
    if (parityIndex == ParityEven) tio.c_cflag |= PARENB;
    if (parityIndex == ParityOdd) tio.c_cflag |= PARENB | PARODD;
    if (kStopBits[stopBitsIndex] == 2) tio.c_cflag |= CSTOPB;
    ApplyFlowControl(tio, flowMode);

    // VMIN = 0 and VTIME = 0: a read returns at once with what is there, possibly nothing.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

void SerialWinComm::SetFlowControl(int mode) {
    if (!opened) return;
    flowMode = mode;
    termios tio{};
    if (::tcgetattr(handle, &tio) != 0) return;
    ApplyFlowControl(tio, mode);
    ::tcsetattr(handle, TCSANOW, &tio);
}

void SerialWinComm::Purge() {
    if (opened) ::tcflush(handle, TCIFLUSH);
}

void SerialWinComm::Flush() { DrainOutput(); }

void SerialWinComm::DrainOutput() {
    // Not tcdrain(): it cannot be interrupted, and a peer that sent XOFF would hold it forever.
    int pending = PendingOutput();
    if (pending <= 0) return;
    // Ten bits a byte covers start, stop and parity bits.
    const auto allowed = std::chrono::milliseconds(1000 + 10000LL * pending / bitsPerSecond_);
    const auto deadline = std::chrono::steady_clock::now() + allowed;
    while (MayWait() && PendingOutput() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs / 4));
    }
}

std::size_t SerialWinComm::ReadBlock(std::uint8_t* buffer, std::size_t capacity) {
    if (!opened || capacity == 0) return 0;
    const ssize_t n = ::read(handle, buffer, capacity);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::int32_t SerialWinComm::ReadChar(std::int32_t& value) {
    if (!opened) return 0;
    std::uint8_t byte = 0;
    if (::read(handle, &byte, 1) != 1) return 0;
    value = byte;
    return 1;
}

bool SerialWinComm::WaitWritable() {
    if (!MayWait()) return false;
    pollfd p{handle, POLLOUT, 0};
    const int ready = ::poll(&p, 1, kWaitSliceMs);
    return !(ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)));
}

std::int32_t SerialWinComm::WriteChar(std::uint8_t byte) {
    for (;;) {
        if (!opened) return 0;
        // Hardware flow control: hold the byte while the other side has DSR off (a line
        // without modem status, such as a pseudo-terminal, counts as off).
        if (flowMode == 0 && !GetDsr()) {
            if (!MayWait()) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs / 2));
            continue;
        }
        const ssize_t n = ::write(handle, &byte, 1);
        if (n == 1) return 1;
        if (n < 0 && errno == EINTR) continue;
        // EAGAIN: the port's buffer is full, typically because the peer sent XOFF.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitWritable()) continue;
        return 0;  // given up, or refused (device gone): the engine's time-out covers the loss
    }
}

void SerialWinComm::WriteString(const char* text, std::int32_t length) {
    if (text == nullptr || length < 0) return;
    const std::size_t n = length == 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    for (std::size_t i = 0; i < n; ++i) WriteChar(static_cast<std::uint8_t>(text[i]));
}

bool SerialWinComm::ModemLines(int& lines) const {
    return opened && ::ioctl(handle, TIOCMGET, &lines) == 0;
}

void SerialWinComm::ChangeModemLine(int line, bool on) {
    if (opened) ::ioctl(handle, on ? TIOCMBIS : TIOCMBIC, &line);
}

void SerialWinComm::SetBreak(bool on) {
    // Not tcsendbreak(): it would hold the thread for the length of the break.
    if (opened) ::ioctl(handle, on ? TIOCSBRK : TIOCCBRK);
}

void SerialWinComm::SetRts(bool on) { ChangeModemLine(TIOCM_RTS, on); }
void SerialWinComm::SetDtr(bool on) { ChangeModemLine(TIOCM_DTR, on); }

bool SerialWinComm::GetCts() {
    int lines = 0;
    return ModemLines(lines) && (lines & TIOCM_CTS) != 0;
}

bool SerialWinComm::GetDsr() {
    int lines = 0;
    return ModemLines(lines) && (lines & TIOCM_DSR) != 0;
}
