// The headless program as a proxy between a host and a device, both on 127.0.0.1: side A a
// TCP server the host connects to, side B a TCP client of the device. Two figures:
//
// - Forwarding latency: the host writes one message at a time; the device notes when it
//   arrives. The same is measured with the host connected to the device directly, so what the
//   proxy adds shows beside what the loopback costs anyway.
// - Throughput: the host floods messages (a bounded window unanswered), the device answers
//   each with an ACK at once; messages passed each way per second.
//
//   build/release/bench/measure_proxy [--program PATH] [--seconds S] [--pings N]
//
// Wall-clock figures: a program to run by hand (docs/PERFORMANCE.md), not a test.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "loopback_connect.h"
#include "spawn_program.h"
#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void Usage(const char* why) {
    std::fprintf(stderr, "usage: measure_proxy [--program PATH] [--seconds S] [--pings N]\n%s\n", why);
    std::exit(2);
}

int Listen(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
        std::perror("device listen");
        std::exit(1);
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

void NoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until `frames` CRs (frame ends) came; false on a close or an error.
bool ReadFrames(int fd, int frames) {
    char chunk[4096];
    while (frames > 0) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        frames -= static_cast<int>(std::count(chunk, chunk + n, '\r'));
    }
    return true;
}

struct Summary {
    double median, p99, max;
};
Summary Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    const auto at = [&us](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * us.size()))]; };
    return {at(0.5), at(0.99), us.back()};
}

// One message at a time from `host` to `device`: microseconds from the write to its arrival.
std::vector<double> Pings(int host, int device, int count) {
    const std::string message = WireFrame('A', 0, "ping through the proxy");
    std::vector<double> us;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!SendAll(host, message) || !ReadFrames(device, 1)) break;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        std::this_thread::sleep_for(200us);  // one at a time, not a burst
    }
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = VANTOR_SIMULATOR;
    double seconds = 20;
    int pings = 5000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
            return argv[++i];
        };
        char* end = nullptr;
        if (arg == "--program") {
            program = value();
        } else if (arg == "--seconds") {
            const std::string text = value();
            seconds = std::strtod(text.c_str(), &end);
            if (*end != 0 || seconds <= 0) Usage("--seconds takes a positive number");
        } else if (arg == "--pings") {
            const std::string text = value();
            pings = static_cast<int>(std::strtol(text.c_str(), &end, 10));
            if (*end != 0 || pings < 10) Usage("--pings takes a whole number of at least 10");
        } else {
            Usage(("unknown argument " + arg).c_str());
        }
    }

    // The baseline: the host straight to the device.
    int devicePort = 0;
    const int deviceListener = Listen(devicePort);
    Summary direct{};
    {
        const int host = ConnectLoopback(devicePort);
        const int device = ::accept(deviceListener, nullptr, nullptr);
        NoDelay(host);
        direct = Summarise(Pings(host, device, pings));
        ::close(host);
        ::close(device);
    }

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vantor-proxy-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const int sideA = FreeTcpPort();
    const std::string config = (dir / "ZentrelConfig.ini").string();
    std::ofstream(config) << "[Comm]\nType=2\nLocalPort=1\n[Traffic]\nListMax=1000\n";
    std::vector<std::string> args = {program, "--headless", "--config", config, "--proxy",
                                     "tcp-server:" + std::to_string(sideA),
                                     "tcp-client:127.0.0.1:" + std::to_string(devicePort)};
    const pid_t pid = SpawnWithoutDisplay(args);
    if (pid < 0) {
        std::fprintf(stderr, "cannot start %s\n", program.c_str());
        return 1;
    }
    const int device = ::accept(deviceListener, nullptr, nullptr);
    const int host = ConnectLoopback(sideA);
    if (device < 0 || host < 0) {
        std::fprintf(stderr, "the proxy did not connect both sides\n");
        ::kill(pid, SIGKILL);
        return 1;
    }
    NoDelay(host);
    NoDelay(device);
    std::this_thread::sleep_for(300ms);
    const Summary proxied = Summarise(Pings(host, device, pings));

    // The flood: the device answers every message with an ACK as it reads it.
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> toDevice{0}, toHost{0};
    std::thread deviceThread([&] {
        const std::string ack = WireFrame('A', 0x06, "");
        std::string answers;
        char chunk[65536];
        timeval timeout{0, 200000};
        ::setsockopt(device, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        while (!stop) {
            const ssize_t n = ::recv(device, chunk, sizeof chunk, 0);
            if (n == 0) break;
            if (n < 0) continue;
            const auto frames = static_cast<std::uint64_t>(std::count(chunk, chunk + n, '\r'));
            toDevice += frames;
            answers.clear();
            for (std::uint64_t i = 0; i < frames; ++i) answers += ack;
            if (!SendAll(device, answers)) break;
        }
    });
    std::thread hostReader([&] {
        char chunk[65536];
        timeval timeout{0, 200000};
        ::setsockopt(host, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        while (!stop) {
            const ssize_t n = ::recv(host, chunk, sizeof chunk, 0);
            if (n == 0) break;
            if (n > 0) toHost += static_cast<std::uint64_t>(std::count(chunk, chunk + n, '\r'));
        }
    });
    constexpr std::uint64_t kWindow = 4000;
    constexpr int kPerWrite = 200;
    std::uint64_t sent = 0;
    std::string burst;
    for (int i = 0; i < kPerWrite; ++i) burst += WireFrame('A', 0, "flood message text");
    const auto start = Clock::now();
    const auto until = start + std::chrono::duration<double>(seconds);
    std::uint64_t startDevice = 0, startHost = 0;
    bool counting = false;
    const auto countFrom = start + 1s;  // the first second warms up
    while (Clock::now() < until) {
        if (!counting && Clock::now() >= countFrom) {
            counting = true;
            startDevice = toDevice;
            startHost = toHost;
        }
        if (sent - toHost + kPerWrite > kWindow) {
            std::this_thread::sleep_for(50us);
            continue;
        }
        if (!SendAll(host, burst)) break;
        sent += kPerWrite;
    }
    const double counted = std::chrono::duration<double>(Clock::now() - countFrom).count();
    const std::uint64_t passedToDevice = toDevice - startDevice, passedToHost = toHost - startHost;
    stop = true;
    deviceThread.join();
    hostReader.join();
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(host);
    ::close(device);
    ::close(deviceListener);
    std::filesystem::remove_all(dir);

    std::printf("forwarding latency, one message at a time (%d pings), microseconds:\n", pings);
    std::printf("  host to device directly: median %.1f, p99 %.1f, max %.1f\n", direct.median, direct.p99, direct.max);
    std::printf("  through the proxy:       median %.1f, p99 %.1f, max %.1f\n", proxied.median, proxied.p99,
                proxied.max);
    std::printf("  added by the proxy:      median %.1f\n", proxied.median - direct.median);
    std::printf("flood of %.1f s (the first second not counted): %.0f messages/s host to device, %.0f ACKs/s back\n",
                seconds, passedToDevice / counted, passedToHost / counted);
    std::printf("exit status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
