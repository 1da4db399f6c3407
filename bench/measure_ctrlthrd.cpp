// Measures the control thread end to end, as a peer and a window would see it: a real
// TControlThread with both brokers, a TCP peer on 127.0.0.1 and a pseudo-terminal peer.
// Wall-clock figures, so a program to run by hand, not a test (docs/PERFORMANCE.md):
//   build/release/bench/measure_ctrlthrd [--idle S] [--samples N] [--burst N] [--pty-burst N]
//                                        [--delay-samples N]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Report(const char* what, std::vector<double> ms) {
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[static_cast<std::size_t>(q * (ms.size() - 1))]; };
    std::printf("%-40s n=%zu  min %.3f  median %.3f  p90 %.3f  p99 %.3f  max %.3f ms\n", what,
                ms.size(), ms.front(), at(0.5), at(0.9), at(0.99), ms.back());
}

// A byte stream the measurements talk through: a TCP socket or a pty's master side.
struct Peer {
    std::function<void(const std::string&)> write;
    // Appends what is there (waiting up to `ms` for something); false on end of stream.
    std::function<bool(std::string&, int ms)> read;
};

Peer TcpPeer(tcp::socket& socket) {
    socket.non_blocking(true);
    Peer peer;
    peer.write = [&socket](const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            boost::system::error_code error;
            done += socket.write_some(asio::buffer(bytes.data() + done, bytes.size() - done), error);
            if (error == asio::error::would_block) {
                pollfd p{socket.native_handle(), POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else if (error) {
                return;
            }
        }
    };
    peer.read = [&socket](std::string& into, int ms) {
        pollfd p{socket.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return true;
        char buffer[65536];
        boost::system::error_code error;
        const std::size_t n = socket.read_some(asio::buffer(buffer), error);
        into.append(buffer, n);
        return !error || error == asio::error::would_block;
    };
    return peer;
}

Peer FdPeer(int fd) {
    Peer peer;
    peer.write = [fd](const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else {
                return;
            }
        }
    };
    peer.read = [fd](std::string& into, int ms) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return true;
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            // A terminal's own flow control bytes are not part of any answer.
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != 0x11 && buffer[i] != 0x13) into.push_back(buffer[i]);
            }
        }
        return n != 0;
    };
    return peer;
}

// Reads until `count` CRs (ends of answers) have arrived or `limitMs` has passed; returns the
// bytes read and the time each CR was seen.
std::string ReadAnswers(Peer& peer, std::size_t count, int limitMs, std::vector<Clock::time_point>* ends = nullptr) {
    std::string got;
    std::size_t seen = 0, scanned = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (seen < count && Clock::now() < end) {
        if (!peer.read(got, 20)) break;
        const auto now = Clock::now();
        for (; scanned < got.size(); ++scanned) {
            if (got[scanned] == '\r') {
                ++seen;
                if (ends) ends->push_back(now);
            }
        }
    }
    return got;
}

// The thread with its two brokers; every window event is counted by a consumer thread.
struct Rig {
    EventBroker toThread;
    std::atomic<long> received{0};   // 10013
    std::atomic<long> accepted{0};   // 10011
    std::atomic<Clock::rep> lastAccepted{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable posted;
    std::vector<Clock::time_point> postTimes;  // when each event was put into toWindow
    EventBroker toWindow{[this](std::uint32_t) {
                             std::lock_guard<std::mutex> lock(mutex);
                             postTimes.push_back(Clock::now());
                             posted.notify_one();
                         },
                         2026};
    std::unique_ptr<TControlThread> thread;
    std::thread consumer;

    explicit Rig(const CommPrefs& settings) {
        thread = std::make_unique<TControlThread>(&toThread, &toWindow, settings, 0);
        postTimes.reserve(1 << 21);
        consumer = std::thread([this] {
            std::size_t taken = 0;
            while (!stop) {
                Event e;
                bool any = false;
                while (toWindow.GetEvent(e)) {
                    any = true;
                    if (e.id == EventId::MessageReceived) ++received;
                    if (e.id == EventId::ResponseAccepted) {
                        // Events leave in the order they were put in: this is the taken-th.
                        std::lock_guard<std::mutex> lock(mutex);
                        lastAccepted = postTimes[taken].time_since_epoch().count();
                        ++accepted;
                    }
                    ++taken;
                }
                if (!any) {
                    // Woken by the broker's notifier: every post is counted under the lock.
                    std::unique_lock<std::mutex> lock(mutex);
                    posted.wait(lock, [&] { return stop || postTimes.size() > taken; });
                }
            }
        });
        thread->Resume();
    }
    ~Rig() {
        thread->Terminate();
        thread->WaitFor();
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        posted.notify_one();
        consumer.join();
    }
};

// Message CR in -> answer CR out, one at a time.
std::vector<double> AnswerLatency(Peer& peer, int samples) {
    std::vector<double> ms;
    const std::string frame = WireFrame('A', 0, "PING 0123456789");
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        peer.write(frame);
        std::vector<Clock::time_point> ends;
        ReadAnswers(peer, 1, 2000, &ends);
        if (ends.empty()) {
            std::fprintf(stderr, "no answer\n");
            break;
        }
        ms.push_back(Ms(ends.front() - start));
    }
    return ms;
}

// How late a delayed answer comes against its delay: the reply faults table delays type 'A'
// by `delayMs`, and each answer's arrival at the peer is compared with it.
void PostTable(Rig& rig, std::int32_t delayMs) {
    ReplyTable table;
    table.rows.resize(10);
    table.rows[0].Type = "A";
    table.rows[0].Faults.DelayMin = delayMs;
    Event event{EventId::ReplyActions, 10, 0};
    event.payload = table;
    rig.toThread.PostEvent(std::move(event));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void DelayAccuracy(const char* what, Peer& peer, Rig& rig, int samples, int delayMs) {
    PostTable(rig, delayMs);
    std::vector<double> error;
    for (double late : AnswerLatency(peer, samples)) error.push_back(late - delayMs);
    Report(what, error);
    PostTable(rig, 0);  // back to answering at once
}

// `count` messages written as fast as the link takes them while the answers are read; the
// answers must come back complete and in order (types cycle through A to Z).
void Burst(const char* what, Peer& peer, Rig& rig, long count) {
    std::string all;
    for (long i = 0; i < count; ++i) all += WireFrame(static_cast<char>('A' + i % 26), 0, "burst 0123456789");
    const long before = rig.received;
    const auto start = Clock::now();
    std::thread writer([&] {
        constexpr std::size_t kChunk = 16384;
        for (std::size_t at = 0; at < all.size(); at += kChunk) peer.write(all.substr(at, kChunk));
    });
    std::vector<Clock::time_point> ends;
    const std::string got = ReadAnswers(peer, static_cast<std::size_t>(count), 600000, &ends);
    const auto took = (ends.empty() ? Clock::now() : ends.back()) - start;
    writer.join();
    // Every answer is SOH, type, ACK, STX, ETX, three digits, CR.
    long inOrder = 0;
    for (std::size_t at = 0; at + 1 < got.size(); at = got.find('\x01', at + 1)) {
        if (got[at] != '\x01') break;
        if (got[at + 1] != static_cast<char>('A' + inOrder % 26)) break;
        ++inOrder;
    }
    const auto listEnd = Clock::now() + std::chrono::seconds(5);
    while (rig.received - before < count && Clock::now() < listEnd) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::printf("%-40s %ld messages in %.1f ms: %.0f answered/s; %zu answers, %ld in order, %ld reported to the window\n",
                what, count, Ms(took), static_cast<double>(ends.size()) / (Ms(took) / 1000.0), ends.size(),
                inOrder, rig.received - before);
}

[[noreturn]] void Usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--idle SECONDS] [--samples N] [--burst N] [--pty-burst N] [--delay-samples N]\n", program);
    std::exit(2);
}

long Number(const char* program, const char* text, long low) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low) Usage(program);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    long idleSeconds = 10, samples = 200, burst = 100000, ptyBurst = 10000, delaySamples = 50;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) Usage(argv[0]);
        long* target = arg == "--idle" ? &idleSeconds : arg == "--samples" ? &samples
                     : arg == "--burst" ? &burst : arg == "--pty-burst" ? &ptyBurst
                     : arg == "--delay-samples" ? &delaySamples : nullptr;
        if (target == nullptr) Usage(argv[0]);
        *target = Number(argv[0], argv[++i], 0);
    }
    asio::io_context io;

    // ---- TCP server on 127.0.0.1 ----
    {
        const int port = FreeTcpPort();
        CommPrefs settings;
        settings.Type = 2;
        settings.LocalPort = port;
        Rig rig(settings);
        tcp::socket socket(io);
        for (int tries = 0;; ++tries) {
            boost::system::error_code error;
            socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)), error);
            if (!error) break;
            socket.close();
            if (tries > 500) return 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        socket.set_option(tcp::no_delay(true));
        Peer peer = TcpPeer(socket);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));

        const double cpuBefore = CpuSeconds();
        const auto wallBefore = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
        std::printf("%-40s %.3f %% of one core over %.1f s\n", "CPU, link open, no traffic",
                    100.0 * (CpuSeconds() - cpuBefore) / wall, wall);

        Report("TCP: message CR -> answer CR", AnswerLatency(peer, static_cast<int>(samples)));

        std::vector<double> toWire, toEvent;
        const std::string text = "SEND 0123456789";
        const std::string frame = WireFrame('P', 0, text);
        const std::string response = WireFrame('P', ctrl::ACK, "PONG");
        for (long i = 0; i < samples; ++i) {
            const auto start = Clock::now();
            rig.toThread.PostEvent(Event{EventId::SendBytes, 'P', 0, text});
            std::string got;
            const auto end = Clock::now() + std::chrono::seconds(2);
            while (got.size() < frame.size() && Clock::now() < end) peer.read(got, 20);
            const auto onWire = Clock::now();
            if (got != frame) {
                std::fprintf(stderr, "unexpected bytes on the wire\n");
                return 1;
            }
            const long acceptedBefore = rig.accepted;
            const auto sent = Clock::now();
            peer.write(response);
            while (rig.accepted == acceptedBefore && Clock::now() < sent + std::chrono::seconds(2)) {}
            if (rig.accepted == acceptedBefore) return 1;
            toEvent.push_back(Ms(Clock::time_point(Clock::duration(rig.lastAccepted.load())) - sent));
            toWire.push_back(Ms(onWire - start));
        }
        Report("send request -> frame on the wire", toWire);
        Report("response on the wire -> 10011 in broker", toEvent);

        if (burst > 0) Burst("TCP burst", peer, rig, burst);
        if (delaySamples > 0) DelayAccuracy("TCP: 200 ms delay, error", peer, rig, static_cast<int>(delaySamples), 200);
    }

    // ---- a pseudo-terminal pair: the serial driver ----
    {
        int master = -1, slave = -1;
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
        ::close(slave);  // the thread opens the terminal by its path
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        CommPrefs settings;
        settings.Type = 0;
        settings.Port = name;
        settings.Baud = 0;  // 115200
        Rig rig(settings);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Peer peer = FdPeer(master);
        Report("pty: message CR -> answer CR", AnswerLatency(peer, static_cast<int>(samples)));
        if (ptyBurst > 0) Burst("pty burst", peer, rig, ptyBurst);
        if (delaySamples > 0) DelayAccuracy("pty: 200 ms delay, error", peer, rig, static_cast<int>(delaySamples), 200);
        ::close(master);
    }
    return 0;
}
