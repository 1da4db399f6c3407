#pragma once

// What the virtual port's and the line faults' tests share: a scratch directory, a host that
// opens the port as serial software does, and passes of the control thread.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "drivers/serial_driver.h"

// A fresh directory under the system's temporary one, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vantor-pty-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

// Host software on the terminal side, opened by the link's path and set up as serial
// libraries do it: raw, 8 data bits, no parity, receiver on, modem lines ignored, reads that
// return at once.
struct HostPort {
    int fd = -1;

    HostPort(const std::string& path, speed_t speed, bool twoStopBits) {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) Set(speed, twoStopBits);
    }
    ~HostPort() {
        if (fd >= 0) ::close(fd);
    }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    void Set(speed_t speed, bool twoStopBits, tcflag_t extraInput = 0) {
        termios tio{};
        ::tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSTOPB | CRTSCTS);
        if (twoStopBits) tio.c_cflag |= CSTOPB;
        tio.c_iflag |= extraInput;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        ::tcsetattr(fd, TCSANOW, &tio);
    }

    void Write(const std::vector<std::uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<std::size_t>(n);
            else break;
        }
    }

    // Appends whatever is waiting.
    void ReadInto(std::vector<std::uint8_t>& into) const {
        std::uint8_t block[4096];
        for (;;) {
            const ssize_t n = ::read(fd, block, sizeof block);
            if (n <= 0) return;
            into.insert(into.end(), block, block + n);
        }
    }
};

// Passes as the control thread makes them: wait on the io_context (at most a millisecond, so
// `done` is looked at often), then poll the driver; until `done` holds, for at most `limit`.
// The io_context must have work (a guard) so that the wait does wait.
inline bool RunPasses(boost::asio::io_context& io, SerialDriver& driver,
                      const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        io.run_one_for(std::chrono::milliseconds(1));
        driver.Poll();
    }
    return true;
}
