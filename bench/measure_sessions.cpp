// The headless program as a TCP server with many peers, each a session of its own:
//  1. floods: one peer, then two peers at once, each sending as fast as it is answered (its
//     own message type, so that an answer of another peer's type would show as mixed); the
//     rate of each, in one run so that the ratios hold on a busy machine;
//  2. a fleet: N clients (1,000 by default), each sending one message every P ms; the answer
//     latency each client sees (median, p99, max), and the program's resident memory before
//     the clients connect and while they run, per session.
//
//   build/release/bench/measure_sessions [--program PATH] [--seconds S] [--clients N] [--every MS]
//
// Wall-clock figures: a program to run by hand (docs/PERFORMANCE.md), not a test.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "loopback_connect.h"
#include "proc_stats.h"
#include "spawn_program.h"
#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void Usage(const char* why) {
    std::fprintf(stderr, "usage: measure_sessions [--program PATH] [--seconds S] [--clients N] [--every MS]\n%s\n",
                 why);
    std::exit(2);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// One flooding peer: up to a window of messages unanswered; answers counted, and those of a
// type not its own counted apart.
struct Flooder {
    int fd = -1;
    char type = 'A';
    std::atomic<std::uint64_t> sent{0}, answered{0}, foreign{0};
};

void Flood(std::vector<Flooder*> peers, double seconds, std::vector<double>& rates, std::uint64_t& mixed) {
    constexpr std::uint64_t kWindow = 2000;
    constexpr int kPerWrite = 100;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::vector<std::uint64_t> before;
    for (Flooder* peer : peers) before.push_back(peer->answered);
    for (Flooder* peer : peers) {
        threads.emplace_back([peer, &stop] {
            char chunk[65536];
            timeval timeout{0, 100000};
            ::setsockopt(peer->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            char previous = 0;  // the byte before a frame's type may end the last read
            bool atType = false;
            while (!stop) {
                const ssize_t n = ::recv(peer->fd, chunk, sizeof chunk, 0);
                if (n <= 0) continue;
                for (ssize_t i = 0; i < n; ++i) {
                    if (atType && chunk[i] != peer->type) ++peer->foreign;
                    atType = chunk[i] == '\x01';
                    if (chunk[i] == '\r') ++peer->answered;
                    previous = chunk[i];
                }
            }
            (void)previous;
        });
        threads.emplace_back([peer, &stop] {
            std::string burst;
            for (int i = 0; i < kPerWrite; ++i) burst += WireFrame(peer->type, 0, "flood message text");
            while (!stop) {
                if (peer->sent - peer->answered + kPerWrite > kWindow) {
                    std::this_thread::sleep_for(200us);
                    continue;
                }
                std::size_t at = 0;
                while (at < burst.size() && !stop) {
                    const ssize_t n = ::send(peer->fd, burst.data() + at, burst.size() - at, MSG_NOSIGNAL);
                    if (n <= 0) return;
                    at += static_cast<std::size_t>(n);
                }
                peer->sent += kPerWrite;
            }
        });
    }
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    rates.clear();
    for (std::size_t i = 0; i < peers.size(); ++i) rates.push_back((peers[i]->answered - before[i]) / elapsed);
    stop = true;
    for (std::thread& t : threads) t.join();
    // What is still on its way is let in before the next round.
    std::this_thread::sleep_for(500ms);
    for (Flooder* peer : peers) mixed += peer->foreign;
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = VANTOR_SIMULATOR;
    double seconds = 10;
    int clients = 1000;
    int everyMs = 100;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--program") {
            program = value();
        } else if (arg == "--seconds") {
            seconds = std::atof(value().c_str());
            if (seconds <= 0) Usage("--seconds takes a positive number");
        } else if (arg == "--clients") {
            clients = std::atoi(value().c_str());
            if (clients < 1) Usage("--clients takes a positive number");
        } else if (arg == "--every") {
            everyMs = std::atoi(value().c_str());
            if (everyMs < 1) Usage("--every takes a positive number of milliseconds");
        } else {
            Usage(("unknown argument " + arg).c_str());
        }
    }

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vantor-sessions-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const int devicePort = FreeTcpPort();
    const std::string config = (dir / "ZentrelConfig.ini").string();
    std::ofstream(config) << "[Comm]\nType=2\nLocalPort=" << devicePort
                          << "\n[Reply]\nType1=A\nMsg1=ok\nType2=B\nMsg2=ok\n[Traffic]\nListMax=1000\n";
    const pid_t pid = SpawnWithoutDisplay({program, "--headless", "--config", config});
    if (pid < 0) {
        std::fprintf(stderr, "cannot start %s\n", program.c_str());
        return 1;
    }
    const auto end = [&](int code) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(dir);
        return code;
    };

    // 1. One peer, then two at once.
    Flooder one, two;
    one.fd = ConnectLoopback(devicePort);
    two.fd = ConnectLoopback(devicePort);
    two.type = 'B';
    if (one.fd < 0 || two.fd < 0) {
        std::fprintf(stderr, "the simulator does not listen on %d\n", devicePort);
        return end(1);
    }
    std::this_thread::sleep_for(300ms);
    std::vector<double> alone, together;
    std::uint64_t mixed = 0;
    Flood({&one}, seconds, alone, mixed);
    Flood({&one, &two}, seconds, together, mixed);
    std::printf("flood, one session: %.0f messages/s\n", alone[0]);
    std::printf("flood, two sessions at once: %.0f and %.0f messages/s (%.0f%% and %.0f%% of one alone)\n",
                together[0], together[1], 100 * together[0] / alone[0], 100 * together[1] / alone[0]);
    std::printf("answers of the other peer's type: %llu\n", static_cast<unsigned long long>(mixed));
    ::close(one.fd);
    ::close(two.fd);
    std::this_thread::sleep_for(500ms);

    // 2. The fleet.
    const long restKb = RssKb(pid);
    std::vector<int> fds;
    for (int c = 0; c < clients; ++c) {
        const int fd = ConnectLoopback(devicePort);
        if (fd < 0) {
            std::fprintf(stderr, "client %d could not connect\n", c);
            return end(1);
        }
        fds.push_back(fd);
    }
    const int epoll = ::epoll_create1(0);
    for (int c = 0; c < clients; ++c) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(c);
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fds[c], &event);
    }
    std::vector<Clock::time_point> sentAt(clients);
    std::vector<bool> waiting(clients, false);
    std::vector<double> latencyMs;
    std::uint64_t unanswered = 0;
    long peakKb = 0;
    const std::string message = WireFrame('A', 0, "reading 42");
    // Each client sends at its own phase in the period, so the load is spread as a fleet's is.
    const auto period = std::chrono::milliseconds(everyMs);
    const auto start = Clock::now();
    std::vector<Clock::time_point> due(clients);
    for (int c = 0; c < clients; ++c) due[c] = start + period * c / clients;
    std::size_t next = 0;
    std::vector<int> order(clients);
    for (int c = 0; c < clients; ++c) order[c] = c;
    auto nextSample = start;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        const auto now = Clock::now();
        for (std::size_t k = 0; k < order.size(); ++k) {
            const int c = order[(next + k) % order.size()];
            if (due[c] > now) continue;
            if (waiting[c]) ++unanswered;  // its last message has no answer after a whole period
            sentAt[c] = now;
            waiting[c] = true;
            if (::send(fds[c], message.data(), message.size(), MSG_NOSIGNAL) < 0) return end(1);
            due[c] += period;
        }
        if (now >= nextSample) {
            peakKb = std::max(peakKb, RssKb(pid));
            nextSample = now + 100ms;
        }
        epoll_event events[256];
        const int n = ::epoll_wait(epoll, events, 256, 1);
        for (int i = 0; i < n; ++i) {
            const int c = static_cast<int>(events[i].data.u32);
            char chunk[4096];
            const ssize_t got = ::recv(fds[c], chunk, sizeof chunk, MSG_DONTWAIT);
            if (got <= 0) continue;
            if (waiting[c] && std::find(chunk, chunk + got, '\r') != chunk + got) {
                latencyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sentAt[c]).count());
                waiting[c] = false;
            }
        }
    }
    const long fleetKb = RssKb(pid);
    for (const int fd : fds) ::close(fd);
    ::close(epoll);
    std::printf("%d clients, one message each every %d ms, %.0f s: %zu answers, median %.2f ms, p99 %.2f ms, "
                "max %.2f ms; %llu not answered within a period\n",
                clients, everyMs, seconds, latencyMs.size(), Percentile(latencyMs, 0.5),
                Percentile(latencyMs, 0.99), Percentile(latencyMs, 1.0),
                static_cast<unsigned long long>(unanswered));
    std::printf("resident memory: %ld KiB before the clients, %ld KiB with them (peak %ld KiB): %.1f KiB a "
                "session\n",
                restKb, fleetKb, std::max(peakKb, fleetKb), static_cast<double>(fleetKb - restKb) / clients);
    return end(0);
}
