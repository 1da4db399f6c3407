// Measures the control API on 127.0.0.1: the time from a POST to /sends to the frame on the
// wire, how many events per second an events stream keeps up with, a request's time while a
// thousand connections sit idle or slow, and the memory of the headless program at rest. Wall-clock figures, so a program to run by hand, not a test:
//   build/release/bench/measure_api [sends, default 100] [events, default 200000]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/api_rig.h"
#include "spawn_program.h"

namespace {

using namespace api_rig;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void SendToWire(int sends) {
    Simulator sim;
    Peer device(sim.devicePort);
    std::vector<double> ms;
    for (int i = 0; i < sends; ++i) {
        const auto start = Clock::now();
        const Reply created =
            sim.Post("sends", {{"type", "S"}, {"text", "measure"}, {"expandFlags", false}});
        const std::string frame = device.ReadFrame();
        ms.push_back(Ms(Clock::now() - start));
        if (created.status != 201 || frame.empty()) {
            std::printf("send %d failed\n", i);
            return;
        }
        device.Write(WireFrame('S', ctrl::ACK, "ok"));
        const std::string path = "sends/" + std::to_string(static_cast<int>(created.body["id"]));
        Eventually([&] { return sim.Get(path).body["state"] == "accepted"; });
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "POST /sends -> frame on the wire: median %.1f ms, min %.1f, p90 %.1f, max %.1f (%d "
        "sends)\n",
        ms[ms.size() / 2], ms.front(), ms[ms.size() * 9 / 10], ms.back(), sends);
}

// Opens an events stream that resumes after event `after`.
void OpenStream(tcp::socket& socket, int port, std::uint64_t after) {
    socket.connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    const std::string request =
        "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nLast-Event-ID: " +
        std::to_string(after) + "\r\n\r\n";
    asio::write(socket, asio::buffer(request));
    timeval timeout{5, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// Counts a stream's events by their id lines up to id `last`; a gap means the stream fell
// behind what the hub keeps.
struct Counted {
    std::size_t received = 0, gaps = 0;
};
Counted CountEvents(tcp::socket& socket, std::uint64_t first, std::uint64_t last) {
    Counted counted;
    std::uint64_t expected = first;
    std::string pending;
    char chunk[65536];
    while (expected <= last) {
        const ssize_t n = BoundedRead(socket, chunk, sizeof chunk);
        if (n <= 0) break;
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t at = 0, line;
        while ((line = pending.find("\nid: ", at)) != std::string::npos &&
               pending.find('\n', line + 5) != std::string::npos) {
            // "id: <run>-<seq>"
            const std::uint64_t id = std::stoull(pending.substr(pending.find('-', line + 5) + 1));
            if (id != expected) ++counted.gaps;
            expected = id + 1;
            ++counted.received;
            at = line + 5;
        }
        pending.erase(0, at);
    }
    return counted;
}

void EventsPerSecond(std::size_t count) {
    Simulator sim;
    {
        // A backlog the hub keeps, replayed to a stream that resumes from its start.
        const std::uint64_t before = sim.Hub().LastSeq();
        for (int i = 0; i < 10000; ++i) sim.Hub().PublishJson("status", {{"code", 0}, {"text", ""}});
        asio::io_context io;
        tcp::socket socket(io);
        const auto start = Clock::now();
        OpenStream(socket, sim.port, before);
        const Counted counted = CountEvents(socket, before + 1, before + 10000);
        const double seconds = Ms(Clock::now() - start) / 1000;
        std::printf("events stream, kept backlog: %zu of 10000 events in %.3f s = %.0f events/s\n",
                    counted.received, seconds, counted.received / seconds);
    }
    asio::io_context io;
    tcp::socket socket(io);
    OpenStream(socket, sim.port, sim.Hub().LastSeq());
    const std::uint64_t first = sim.Hub().LastSeq() + 1;
    const auto start = Clock::now();
    std::thread publisher([&] {
        for (std::size_t i = 0; i < count; ++i)
            sim.Hub().PublishJson("status", {{"code", 0}, {"text", ""}});
    });
    const Counted counted = CountEvents(socket, first, first + count - 1);
    const double seconds = Ms(Clock::now() - start) / 1000;
    publisher.join();
    std::printf("events stream, live: %zu of %zu events in %.2f s = %.0f events/s, %zu gaps\n",
                counted.received, count, seconds, counted.received / seconds, counted.gaps);
}

// A real request while a thousand connections sit idle or trickle their header in.
void RequestAmongIdleConnections(int idle) {
    Simulator sim;
    asio::io_context io;
    const tcp::endpoint server(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(sim.port));
    std::vector<std::unique_ptr<tcp::socket>> held;
    for (int i = 0; i < idle; ++i) {
        held.push_back(std::make_unique<tcp::socket>(io));
        boost::system::error_code ec;
        held.back()->connect(server, ec);
        if (!ec && i % 2 == 1)
            asio::write(*held.back(), asio::buffer(std::string("GET /api/v1/status HTTP/1.1\r\nHo")), ec);
    }
    std::vector<double> ms;
    for (int i = 0; i < 50; ++i) {
        const auto start = Clock::now();
        const std::string answer =
            RawExchange(sim.port, "GET /api/v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        ms.push_back(Ms(Clock::now() - start));
        if (answer.rfind("HTTP/1.1 200", 0) != 0) {
            std::printf("request %d among idle connections failed\n", i);
            return;
        }
    }
    std::sort(ms.begin(), ms.end());
    std::printf("GET /status with %d idle or slow connections open: median %.2f ms, max %.2f ms (50 requests)\n",
                idle, ms[ms.size() / 2], ms.back());
}

long StatusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

void HeadlessMemory(const char* program) {
    const std::string dir = "/tmp/vantor-measure-" + std::to_string(::getpid());
    std::system(("mkdir -p " + dir).c_str());
    std::ofstream(dir + "/ZentrelConfig.ini")
        << "[Comm]\nType=2\nLocalPort=" << FreeTcpPort() << "\n";
    const std::string config = dir + "/ZentrelConfig.ini";
    const std::string port = std::to_string(FreeTcpPort());
    std::vector<std::string> args = {program, "--headless", "--config", config, "--control", port};
    const pid_t pid = SpawnWithoutDisplay(args);
    if (pid < 0) {
        std::printf("cannot start %s\n", program);
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::printf(
        "headless at rest (3 s after start, control API on): VmRSS %ld KiB, VmHWM %ld KiB, threads "
        "%ld\n",
        StatusKb(pid, "VmRSS"), StatusKb(pid, "VmHWM"), StatusKb(pid, "Threads"));
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace

[[noreturn]] void Usage(const char* program) {
    std::fprintf(stderr, "usage: %s [SENDS (default 100) [EVENTS (default 200000)]]\n", program);
    std::exit(2);
}

// A whole positive number, or the usage.
long Count(const char* program, const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1) Usage(program);
    return value;
}

int main(int argc, char** argv) {
    if (argc > 3) Usage(argv[0]);
    const int sends = argc > 1 ? static_cast<int>(Count(argv[0], argv[1])) : 100;
    const std::size_t events = argc > 2 ? static_cast<std::size_t>(Count(argv[0], argv[2])) : 200000;
    SendToWire(sends);
    EventsPerSecond(events);
    RequestAmongIdleConnections(1000);
    HeadlessMemory(VANTOR_SIMULATOR);
    return 0;
}
