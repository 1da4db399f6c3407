#include "drivers/pty_driver.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/event_manager.h"
#include "drivers/serial_win_comm.h"

namespace {

namespace asio = boost::asio;

// Output is released at most this often while it flows (the rate stays exact: each byte's
// time chains from the one before, so a batch only shifts bytes by less than this).
constexpr std::int64_t kMinWakeNs = 1'000'000;
// How soon a write the host's side refused (it is not reading) is tried again.
constexpr std::int64_t kStallRetryNs = 5'000'000;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Rate {
    speed_t speed;
    int baud;
};
constexpr Rate kRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

std::string ErrnoText() { return std::strerror(errno); }

std::string ExpandHome(std::string path) {
    if (path.rfind("~/", 0) == 0) {
        if (const char* home = std::getenv("HOME")) path = home + path.substr(1);
    }
    return path;
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

}  // namespace

std::string LineSettings::Text() const {
    return std::to_string(baud) + "," + std::to_string(dataBits) + "," + parity + "," +
           std::to_string(stopBits);
}

std::string LineSettings::SpeedAndStop() const {
    const std::string speed = baud > 0 ? std::to_string(baud) + " baud" : "a non-standard speed";
    return speed + ", " + std::to_string(stopBits) + (stopBits == 1 ? " stop bit" : " stop bits");
}

LineSettings LineSettings::Of(const termios& tio) {
    LineSettings line;
    line.baud = 0;
    const speed_t speed = cfgetospeed(&tio);
    for (const Rate& rate : kRates) {
        if (rate.speed == speed) line.baud = rate.baud;
    }
    switch (tio.c_cflag & CSIZE) {
        case CS5: line.dataBits = 5; break;
        case CS6: line.dataBits = 6; break;
        case CS7: line.dataBits = 7; break;
        default: line.dataBits = 8; break;
    }
    line.parity = (tio.c_cflag & PARENB) == 0 ? 'N' : (tio.c_cflag & PARODD) != 0 ? 'O' : 'E';
    line.stopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
    return line;
}

PtyDriver::PtyDriver(asio::io_context& io, std::size_t txCapacity)
    : io_(io), txCapacity_(txCapacity), paceTimer_(io) {
    Configure(SerialWinComm::kDefaultBaud, SerialWinComm::kDefaultDataBits,
              SerialWinComm::kDefaultStopBits, SerialWinComm::kDefaultParity);
}

PtyDriver::~PtyDriver() { Close(); }

void PtyDriver::Fail(const std::string& text) {
    openError_ = text;
    Release();
}

bool PtyDriver::ClaimPath(const std::string& absolute) {
    // The lock is an abstract socket name: the kernel lets it go when the process ends, however
    // it ends, so a crash leaves at most a stale link behind, never a stale lock.
    std::uint64_t hash = 1469598103934665603ULL;
    for (const char c : absolute) hash = (hash ^ static_cast<std::uint8_t>(c)) * 1099511628211ULL;
    char name[64];
    const int length = std::snprintf(name, sizeof name, "vantor-simulator-pty-%016llx",
                                     static_cast<unsigned long long>(hash));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name, static_cast<std::size_t>(length));
    lockFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lockFd_ < 0 ||
        ::bind(lockFd_, reinterpret_cast<sockaddr*>(&address),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length)) != 0) {
        Fail(errno == EADDRINUSE ? linkPath_ + " is served by another running simulator"
                                 : "Cannot lock " + linkPath_ + ": " + ErrnoText());
        return false;
    }

    struct stat info {};
    if (::lstat(linkPath_.c_str(), &info) != 0) {
        if (errno == ENOENT) return true;
        Fail("Cannot use " + linkPath_ + ": " + ErrnoText());
        return false;
    }
    if (!S_ISLNK(info.st_mode)) {
        Fail(linkPath_ + (S_ISDIR(info.st_mode) ? " is a directory" : " exists and is not a symbolic link") +
             "; it is left as it is");
        return false;
    }
    char target[PATH_MAX];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    const std::string to = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
    if (to.rfind("/dev/pts/", 0) == 0) {
        // Stale only when nobody holds that terminal any more: what a crash leaves. The kernel
        // removes /dev/pts/N as soon as its master side is closed, so a node that is still
        // there belongs to a running program (another port emulator, a terminal). Opening it
        // to find out would not tell more, and closing it again hangs up on its holder.
        struct stat terminal {};
        if (::stat(to.c_str(), &terminal) != 0) {
            if (errno == ENOENT) return true;
            Fail("Cannot tell whether " + to + ", where " + linkPath_ + " leads, is in use: " + ErrnoText() +
                 "; it is left as it is");
            return false;
        }
        Fail(linkPath_ + " is a symbolic link to " + to + (S_ISCHR(terminal.st_mode) ? ", a pseudo-terminal" : "") +
             " that is in use by another program; it is left as it is");
        return false;
    }
    Fail(linkPath_ + " is a symbolic link to " + (to.empty() ? "nowhere readable" : to) +
         ", which is not a pseudo-terminal; it is left as it is");
    return false;
}

std::int32_t PtyDriver::Open(const char* linkPath) {
    if (IsOpen()) return 1;
    openError_.clear();
    if (linkPath != nullptr) linkPath_ = ExpandHome(linkPath);
    if (linkPath_.empty()) {
        openError_ = "No path given for the virtual serial port";
        return 0;
    }
    if (!ClaimPath(Absolute(linkPath_))) return 0;

    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        Fail("Cannot create a pseudo-terminal: " + ErrnoText());
        return 0;
    }
    terminalPath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // Packet mode: the host's changes of its line settings arrive as status packets.
    int on = 1;
    if (slave_ < 0 || ::ioctl(master_, TIOCPKT, &on) != 0) {
        Fail("Cannot open the pseudo-terminal " + terminalPath_ + ": " + ErrnoText());
        return 0;
    }
    SetTerminal();
    RefreshHost();

    // Made under a temporary name and renamed over the path, so that the path never holds a
    // half-made link and a stale one is replaced in one step.
    const std::string temporary = linkPath_ + ".new-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(name, temporary.c_str()) != 0) {
        Fail("Cannot create the link " + linkPath_ + ": " + ErrnoText());
        return 0;
    }
    if (::rename(temporary.c_str(), linkPath_.c_str()) != 0) {
        const std::string error = ErrnoText();
        ::unlink(temporary.c_str());
        Fail("Cannot create the link " + linkPath_ + ": " + error);
        return 0;
    }

    watch_ = std::make_unique<asio::posix::stream_descriptor>(io_);
    boost::system::error_code error;
    watch_->assign(master_, error);
    if (error) watch_.reset();  // read on the control thread's own passes instead
    ArmWatch();
    return 1;
}

void PtyDriver::Release() {
    if (watch_) {
        boost::system::error_code ignored;
        watch_->cancel(ignored);
        watch_->release();  // the descriptor is closed below
        watch_.reset();
    }
    watching_ = false;
    paceTimer_.cancel();
    paceArmedFor_ = -1;
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    if (lockFd_ >= 0) ::close(lockFd_);
    slave_ = master_ = lockFd_ = -1;
    txQueue_.clear();
    overdue_ = 0;
    breakHeld_ = false;
}

void PtyDriver::Close() {
    if (master_ >= 0 && !linkPath_.empty()) {
        // Only our own link goes: someone may have put something else there meanwhile.
        char target[PATH_MAX];
        const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == terminalPath_)
            ::unlink(linkPath_.c_str());
    }
    Release();
}

void PtyDriver::Configure(int baudIndex, int dataBitsIndex, int stopBitsIndex, int parityIndex) {
    termios asked{};
    SerialWinComm::ApplyLineSettings(asked, baudIndex, dataBitsIndex, stopBitsIndex, parityIndex, 2);
    own_ = LineSettings::Of(asked);
    LinePacer::Shape shape;
    shape.nsPerByte = NsPerByte(own_.baud, own_.BitsPerByte());
    shape.atEnd = true;
    pacer_.SetShape(shape);
    if (!IsOpen()) return;
    // A host that has set its own line keeps it: the simulator only changes its own end.
    if (host_ == lastSet_) SetTerminal();
    reportedMismatch_ = false;
    RefreshHost();
}

void PtyDriver::SetTerminal() {
    termios tio{};
    if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) return;
    // The simulator's settings, raw, so that a host that sets nothing gets the bytes as they
    // are. EXTPROC makes every later change of the host's settings a status packet.
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXOFF | IXANY);
    const speed_t speed = [this] {
        for (const Rate& rate : kRates) {
            if (rate.baud == own_.baud) return rate.speed;
        }
        return static_cast<speed_t>(B9600);
    }();
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~CSTOPB;
    if (own_.stopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_lflag |= EXTPROC;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(slave_, TCSANOW, &tio);
    termios now{};
    if (::tcgetattr(slave_, &now) == 0) lastSet_ = LineSettings::Of(now);
}

bool PtyDriver::Mismatch() const {
    // Data bits and parity cannot be seen on a pseudo-terminal (see the class comment).
    return host_.baud != own_.baud || host_.stopBits != own_.stopBits;
}

void PtyDriver::RefreshHost() {
    termios tio{};
    if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) return;
    const LineSettings now = LineSettings::Of(tio);
    if (now == host_) return;
    host_ = now;
    const bool mismatch = Mismatch();
    if (hostListener_) hostListener_(host_, mismatch);
    if (reportMismatch_ && mismatch && !reportedMismatch_) {
        Report("Virtual serial port " + linkPath_ + ": the host's line is " + host_.SpeedAndStop() +
               ", the simulator's " + own_.SpeedAndStop() + "; a real line would garble the bytes");
    }
    reportedMismatch_ = mismatch;
}

void PtyDriver::Report(const std::string& text) {
    if (eventSink != nullptr) eventSink->AddEvent(Event{EventId::Error, 0, 0, text});
}

void PtyDriver::ArmWatch() {
    if (!watch_ || watching_) return;
    watching_ = true;
    // Armed again only once a read found the port drained: input that is held back (a
    // consumer is behind) must not wake the thread over and over.
    watch_->async_wait(asio::posix::stream_descriptor::wait_read,
                       [this, alive = std::weak_ptr<int>(alive_)](const boost::system::error_code& error) {
                           if (alive.expired() || error == asio::error::operation_aborted) return;
                           watching_ = false;
                           if (!error) Watched();
                       });
}

void PtyDriver::Watched() {
    RefreshHost();
    int waiting = 0;
    if (::ioctl(master_, FIONREAD, &waiting) != 0 || waiting > 0) return;  // the engine reads it
    // Only status packets are waiting (the host changed its settings): no read of data would
    // take them, so they are taken here. A one-byte read of a data packet takes no data.
    std::uint8_t status = 0;
    while (::read(master_, &status, 1) == 1) {
        if (status == TIOCPKT_DATA) return;  // data came meanwhile: the engine's read re-arms
    }
    RefreshHost();
    ArmWatch();
}

void PtyDriver::Purge() {
    if (master_ >= 0) ::tcflush(master_, TCIFLUSH);
}

std::size_t PtyDriver::ReadBlock(std::uint8_t* buffer, std::size_t capacity) {
    if (master_ < 0 || capacity == 0) return 0;
    readBuffer_.resize(capacity + 1);
    // In packet mode every read starts with a status byte: 0 for data, else what changed on
    // the terminal side (a status packet carries no data).
    for (int packets = 0; packets < 8; ++packets) {
        const ssize_t n = ::read(master_, readBuffer_.data(), capacity + 1);
        if (n <= 0) break;
        if (readBuffer_[0] == TIOCPKT_DATA) {
            const std::size_t got = static_cast<std::size_t>(n - 1);
            std::memcpy(buffer, readBuffer_.data() + 1, got);
            if (got < capacity) ArmWatch();
            return got;
        }
        RefreshHost();
    }
    ArmWatch();
    return 0;
}

std::int32_t PtyDriver::WriteChar(std::uint8_t byte) {
    if (!IsOpen()) return 0;
    if (txQueue_.size() >= txCapacity_) {
        ++droppedBytes_;
        if (!dropReported_) {
            dropReported_ = true;
            Report("Virtual serial port " + linkPath_ + ": the host is not reading; bytes written are dropped");
        }
        return 0;
    }
    dropReported_ = false;
    if (txQueue_.empty()) pacer_.Wake(NowNs());
    txQueue_.push_back(byte);
    return 1;
}

void PtyDriver::WriteString(const char* text, std::int32_t length) {
    if (text == nullptr || length < 0) return;
    const std::size_t n = length == 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    for (std::size_t i = 0; i < n; ++i) WriteChar(static_cast<std::uint8_t>(text[i]));
}

void PtyDriver::Pump() {
    if (master_ < 0 || txQueue_.empty()) return;
    const std::int64_t now = NowNs();
    lastPumpNs_ = now;
    if (breakHeld_) return;
    if (overdue_ > 0) pacer_.Stall(now);  // the host was not reading: its line goes on from now
    std::size_t due = overdue_;
    while (due < txQueue_.size() && pacer_.DueAt(false) <= now) {
        pacer_.Take(false);
        ++due;
    }
    if (due > 0) {
        writeBuffer_.assign(txQueue_.begin(), txQueue_.begin() + static_cast<std::ptrdiff_t>(due));
        const ssize_t n = ::write(master_, writeBuffer_.data(), due);
        const std::size_t written = n > 0 ? static_cast<std::size_t>(n) : 0;
        txQueue_.erase(txQueue_.begin(), txQueue_.begin() + static_cast<std::ptrdiff_t>(written));
        overdue_ = due - written;
    }
    if (!txQueue_.empty()) ArmPace(overdue_ > 0 ? now + kStallRetryNs : pacer_.DueAt(false));
}

void PtyDriver::ArmPace(std::int64_t dueNs) {
    const std::int64_t at = std::max(dueNs, lastPumpNs_ + kMinWakeNs);
    if (paceArmedFor_ >= 0 && paceArmedFor_ <= at) return;  // an earlier wake covers it
    paceArmedFor_ = at;
    paceTimer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(at)));
    paceTimer_.async_wait([this, alive = std::weak_ptr<int>(alive_)](const boost::system::error_code& error) {
        if (alive.expired() || error) return;  // cancelled: a new wake was armed, or closed
        paceArmedFor_ = -1;
        Pump();
    });
}

void PtyDriver::SetBreak(bool on) {
    if (!IsOpen()) return;
    if (on) {
        Pump();  // what was due before the break has left
        breakHeld_ = true;
        return;
    }
    if (!breakHeld_) return;
    breakHeld_ = false;
    termios tio{};
    if (::tcgetattr(slave_, &tio) == 0 && (tio.c_iflag & IGNBRK) == 0) {
        static const std::uint8_t kMarked[] = {0xFF, 0x00, 0x00};
        const bool marked = (tio.c_iflag & PARMRK) != 0;
        (void)::write(master_, marked ? kMarked : kMarked + 2, marked ? 3 : 1);
    }
    pacer_.Stall(NowNs());
    Pump();
}
