// How closely the virtual serial port keeps the line rate: 10,000 bytes written at once, as
// the engine would, timed as they arrive at a host that opened the port by its link. Run by
// hand (see docs/PERFORMANCE.md): measure_pacing [bytes]
//
// The driver runs on its own thread around an io_context, as on the control thread; the host
// reads on another with blocking waits, so each arrival is stamped when it happens.

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "drivers/pty_driver.h"
#include "drivers/pty_rig.h"

namespace {

using Clock = std::chrono::steady_clock;

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void Measure(const char* name, int baudIndex, speed_t hostSpeed, std::size_t count) {
    TempDir dir;
    const std::string link = dir.path + "/ttyMeasure";
    boost::asio::io_context io;
    auto work = boost::asio::make_work_guard(io);
    PtyDriver port(io);
    if (port.Open(link.c_str()) != 1) {
        std::fprintf(stderr, "%s\n", port.OpenError().c_str());
        std::exit(1);
    }
    port.Configure(baudIndex, 1, 0, 2);
    HostPort host(link, hostSpeed, false);
    std::thread control([&] { io.run(); });

    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    std::atomic<Clock::rep> writtenAt{0};
    boost::asio::post(io, [&] {
        writtenAt = Clock::now().time_since_epoch().count();
        port.WriteTo(0, bytes.data(), bytes.size());
        port.Push();
    });

    // Arrival time of every byte (the bytes of one read share it).
    std::vector<Clock::time_point> arrival;
    arrival.reserve(count);
    std::vector<std::uint8_t> heard;
    std::size_t reads = 0;
    while (heard.size() < count) {
        pollfd p{host.fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) break;
        const std::size_t before = heard.size();
        host.ReadInto(heard);
        const auto now = Clock::now();
        arrival.resize(heard.size(), now);
        reads += heard.size() > before ? 1 : 0;
    }
    boost::asio::post(io, [&] { io.stop(); });
    control.join();
    port.Close();

    const Clock::time_point start{Clock::duration(writtenAt.load())};
    const double nsPerByte = static_cast<double>(NsPerByte(port.OwnSettings().baud, port.OwnSettings().BitsPerByte()));
    const bool exact = heard == bytes;
    const double total = Us(arrival.back() - start);
    const double ideal = nsPerByte * static_cast<double>(count) / 1000.0;
    // Lateness of each byte against its ideal arrival (the end of its stop bit).
    std::vector<double> late(count);
    double early = 0;
    for (std::size_t i = 0; i < count; ++i) {
        late[i] = Us(arrival[i] - start) - nsPerByte * static_cast<double>(i + 1) / 1000.0;
        early = std::min(early, late[i]);
    }
    std::sort(late.begin(), late.end());
    std::printf("%-12s %6zu bytes  exact %-3s  total %10.1f ms  ideal %10.1f ms  error %+6.2f %%  "
                "per byte %7.2f us (ideal %6.2f)  lateness median %6.0f us p99 %6.0f us max %6.0f us  "
                "earliest %+5.0f us  reads %zu\n",
                name, count, exact ? "yes" : "NO", total / 1000.0, ideal / 1000.0,
                (total - ideal) / ideal * 100.0, Us(arrival.back() - arrival.front()) / static_cast<double>(count - 1),
                nsPerByte / 1000.0, late[count / 2], late[count * 99 / 100], late.back(), early, reads);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    if (count < 2) return 2;
    Measure("115200 8N1", 0, B115200, count);
    Measure("9600 8N1", 4, B9600, count);
    return 0;
}
