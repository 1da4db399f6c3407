// Measures the control thread on 127.0.0.1: its CPU use while idle, the period of its passes,
// and the time from a send request to the frame on the wire and from a response to event
// 10011. Wall-clock figures, so a program to run by hand, not a test:
//   build/release/bench/measure_ctrlthrd [idle seconds, default 10] [round trips, default 50]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>  // before asio: its awaitable.hpp needs std::exchange
#include <vector>

#include <boost/asio.hpp>

#include "protocol/frame.h"
#include "support/loopback.h"
#include "thread/ctrlthrd.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[static_cast<std::size_t>(q * (ms.size() - 1))]; };
    std::printf("%-34s n=%zu  min %.2f  median %.2f  p90 %.2f  p99 %.2f  max %.2f ms\n", what,
                ms.size(), ms.front(), at(0.5), at(0.9), at(0.99), ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int roundTrips = argc > 2 ? std::atoi(argv[2]) : 50;

    asio::io_context io;
    const int port = FreeTcpPort();

    std::mutex mutex;
    std::condition_variable arrived;
    int accepted = 0;
    EventBroker toThread;
    EventBroker toWindow([&](std::uint32_t) {
        std::lock_guard<std::mutex> lock(mutex);
        arrived.notify_all();
    }, 2026);

    CommPrefs settings;
    settings.Type = 2;
    settings.LocalPort = port;
    TControlThread thread(&toThread, &toWindow, settings, 0);
    std::vector<Clock::time_point> passes;
    passes.reserve(static_cast<std::size_t>(idleSeconds) * 200 + 1000);
    std::atomic<bool> recording{false};
    thread.SetPassObserver([&] {
        if (recording.load(std::memory_order_relaxed) && passes.size() < passes.capacity()) {
            passes.push_back(Clock::now());
        }
    });
    thread.Resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // Idle: nobody connected, nothing to do.
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = Clock::now();
    recording = true;
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    recording = false;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    const double cpu = CpuSeconds() - cpuBefore;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::printf("idle CPU use: %.3f %% of one core over %.1f s\n", 100.0 * cpu / wall, wall);

    std::vector<double> periods;
    for (std::size_t i = 1; i < passes.size(); ++i) {
        periods.push_back(std::chrono::duration<double, std::milli>(passes[i] - passes[i - 1]).count());
    }
    Report("pass period", periods);
    const double span = std::chrono::duration<double, std::milli>(passes.back() - passes.front()).count();
    std::printf("passes: %zu in %.1f ms, %.4f ms per pass on average (drift %+.3f %%)\n",
                passes.size(), span, span / (passes.size() - 1),
                100.0 * (span / (passes.size() - 1) - 10.0) / 10.0);

    // Round trips over loopback.
    tcp::socket peer(io);
    peer.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    peer.set_option(tcp::no_delay(true));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<double> toWire, toEvent;
    const std::string text = "PING 0123456789";
    const std::string frame = WireFrame('P', 0, text);
    const std::string response = WireFrame('P', ctrl::ACK, "PONG");
    for (int i = 0; i < roundTrips; ++i) {
        const auto start = Clock::now();
        toThread.PostEvent(Event{EventId::SendBytes, 'P', 0, text});
        std::string got(frame.size(), '\0');
        asio::read(peer, asio::buffer(got));
        const auto onWire = Clock::now();
        if (got != frame) {
            std::fprintf(stderr, "unexpected bytes on the wire\n");
            return 1;
        }
        asio::write(peer, asio::buffer(response));
        const auto sent = Clock::now();
        {
            std::unique_lock<std::mutex> lock(mutex);
            bool done = false;
            while (!done) {
                Event e;
                while (toWindow.GetEvent(e)) {
                    if (e.id == EventId::ResponseAccepted) done = true;
                }
                if (!done) arrived.wait_for(lock, std::chrono::milliseconds(5));
            }
        }
        ++accepted;
        toEvent.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        toWire.push_back(std::chrono::duration<double, std::milli>(onWire - start).count());
    }
    Report("send request -> frame on the wire", toWire);
    Report("response -> event 10011", toEvent);
    thread.Terminate();
    thread.WaitFor();
    return accepted == roundTrips ? 0 : 1;
}
