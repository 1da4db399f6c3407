// The headless program as a whole under a flood: it is started as a TCP server with its
// JSON log and the control API, one events stream attached, and a peer on 127.0.0.1 sends
// messages as fast as they are answered. Meanwhile GET /status is timed every 50 ms and the
// resident memory read every 100 ms. At the end SIGTERM goes to the program while the peer
// still floods; the time to exit is measured, and the answers the peer got are compared with
// the messages the log recorded.
//
//   build/release/bench/measure_flood [--program PATH] [--seconds S] [--list-max N]
//                                     [--no-log] [--no-stream] [--capture]
//
// With --capture the program captures the link to a pcapng file meanwhile; at the end the
// capture is read back and its messages compared with the answers the peer got.
//
// Wall-clock figures: a program to run by hand (docs/PERFORMANCE.md), not a test.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/recording.h"
#include "loopback_connect.h"
#include "spawn_program.h"
#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void Usage(const char* why) {
    std::fprintf(stderr,
                 "usage: measure_flood [--program PATH] [--seconds S] [--list-max N] [--no-log] [--capture] "
                 "[--no-stream]\n%s\n",
                 why);
    std::exit(2);
}

int Connect(int port) { return ConnectLoopback(port); }

long StatusKb(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
    return -1;
}

// One GET on a fresh connection: the status code, or 0 when there was no answer.
int Get(int port, const std::string& path, std::string* body = nullptr) {
    const int fd = Connect(port);
    if (fd < 0) return 0;
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port) + "\r\nConnection: close\r\n\r\n";
    if (::write(fd, request.data(), request.size()) < 0) {
        ::close(fd);
        return 0;
    }
    std::string answer;
    char chunk[4096];
    ssize_t n;
    while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) answer.append(chunk, static_cast<std::size_t>(n));
    ::close(fd);
    if (answer.size() < 12) return 0;
    if (body != nullptr) {
        const auto end = answer.find("\r\n\r\n");
        *body = end == std::string::npos ? "" : answer.substr(end + 4);
    }
    return std::atoi(answer.c_str() + 9);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = VANTOR_SIMULATOR;
    double seconds = 20;
    int listMax = 1000;
    bool log = true, stream = true, capture = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--program") {
            program = value();
        } else if (arg == "--seconds") {
            char* end = nullptr;
            const std::string text = value();
            seconds = std::strtod(text.c_str(), &end);
            if (*end != 0 || seconds <= 0) Usage("--seconds takes a positive number");
        } else if (arg == "--list-max") {
            char* end = nullptr;
            const std::string text = value();
            listMax = static_cast<int>(std::strtol(text.c_str(), &end, 10));
            if (*end != 0 || listMax < 0) Usage("--list-max takes a whole number");
        } else if (arg == "--no-log") {
            log = false;
        } else if (arg == "--capture") {
            capture = true;
        } else if (arg == "--no-stream") {
            stream = false;
        } else {
            Usage(("unknown argument " + arg).c_str());
        }
    }

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vantor-flood-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const int devicePort = FreeTcpPort();
    const int apiPort = FreeTcpPort();
    const std::string config = (dir / "ZentrelConfig.ini").string();
    const std::string logPath = (dir / "events.jsonl").string();
    std::ofstream(config) << "[Comm]\nType=2\nLocalPort=" << devicePort << "\n[Reply]\nType1=A\nMsg1=ok\n"
                          << "[Traffic]\nListMax=" << listMax << "\n";

    std::vector<std::string> args = {program, "--headless", "--config", config,
                                     "--control", std::to_string(apiPort)};
    if (log) args.insert(args.end(), {"--log", logPath});
    const std::string capturePath = (dir / "flood.pcapng").string();
    if (capture) args.insert(args.end(), {"--capture", capturePath});
    const pid_t pid = SpawnWithoutDisplay(args);
    if (pid < 0) {
        std::fprintf(stderr, "cannot start %s\n", program.c_str());
        return 1;
    }
    const long restKb = [&] {
        std::this_thread::sleep_for(500ms);
        return StatusKb(pid, "VmRSS");
    }();

    std::atomic<bool> stop{false};
    // The events stream: read, its events counted by their id lines.
    std::atomic<std::uint64_t> streamBytes{0}, streamEvents{0};
    std::atomic<bool> streamClosed{false};
    std::thread sse;
    if (stream) {
        sse = std::thread([&] {
            const int fd = Connect(apiPort);
            if (fd < 0) return;
            const std::string request =
                "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            if (::write(fd, request.data(), request.size()) < 0) return;
            timeval timeout{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            char chunk[65536];
            char last = 0;  // an id line starts after a newline, maybe in the previous read
            while (!stop) {
                const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
                if (n == 0) {
                    streamClosed = true;
                    break;
                }
                if (n <= 0) continue;
                streamBytes += static_cast<std::uint64_t>(n);
                for (ssize_t i = 0; i + 3 < n; ++i) {
                    const char before = i == 0 ? last : chunk[i - 1];
                    if (before == '\n' && chunk[i] == 'i' && chunk[i + 1] == 'd' && chunk[i + 2] == ':')
                        ++streamEvents;
                }
                last = chunk[n - 1];
            }
            ::close(fd);
        });
    }

    // The peer: up to `window` messages unanswered, answers counted by their CR.
    const int fd = Connect(devicePort);
    if (fd < 0) {
        std::fprintf(stderr, "the simulator does not listen on %d\n", devicePort);
        ::kill(pid, SIGKILL);
        return 1;
    }
    std::this_thread::sleep_for(300ms);  // the link is reported up before the flood
    constexpr std::uint64_t kWindow = 4000;
    constexpr int kPerWrite = 200;
    std::atomic<std::uint64_t> sent{0}, answered{0};
    std::atomic<bool> peerDone{false};
    // The writer sleeps while its window is full; the reader wakes it.
    std::mutex windowLock;
    std::condition_variable windowOpen;
    std::thread reader([&] {
        char chunk[65536];
        timeval timeout{0, 200000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        for (;;) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            if (n < 0) {
                if (peerDone) break;
                continue;
            }
            answered += static_cast<std::uint64_t>(std::count(chunk, chunk + n, '\r'));
            windowOpen.notify_one();
        }
        windowOpen.notify_one();
    });
    std::thread writer([&] {
        std::string burst;
        for (int i = 0; i < kPerWrite; ++i) burst += WireFrame('A', 0, "flood message text");
        while (!peerDone) {
            if (sent - answered + kPerWrite > kWindow) {
                std::unique_lock<std::mutex> guard(windowLock);
                windowOpen.wait_for(guard, std::chrono::milliseconds(5), [&] {
                    return peerDone || sent - answered + kPerWrite <= kWindow;
                });
                continue;
            }
            std::size_t at = 0;
            while (at < burst.size()) {
                const ssize_t n = ::send(fd, burst.data() + at, burst.size() - at, MSG_NOSIGNAL);
                if (n <= 0) return;
                at += static_cast<std::size_t>(n);
            }
            sent += kPerWrite;
        }
    });

    // Status and memory while it floods.
    std::vector<double> statusMs;
    int statusErrors = 0;
    long peakKb = 0;
    std::thread sampler([&] {
        auto nextStatus = Clock::now();
        while (!stop) {
            peakKb = std::max(peakKb, StatusKb(pid, "VmRSS"));
            if (Clock::now() >= nextStatus) {
                const auto start = Clock::now();
                const int code = Get(apiPort, "/api/v1/status");
                statusMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                if (code != 200) ++statusErrors;
                nextStatus = start + 50ms;
            }
            std::this_thread::sleep_for(10ms);
        }
    });

    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t answeredAtEnd = answered;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    sampler.join();

    // SIGTERM while the peer still floods.
    const auto term = Clock::now();
    ::kill(pid, SIGTERM);
    int status = 0;
    bool exited = false;
    while (Clock::now() - term < 60s) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    const double exitMs = std::chrono::duration<double, std::milli>(Clock::now() - term).count();
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    peerDone = true;
    ::shutdown(fd, SHUT_RDWR);
    writer.join();
    reader.join();
    ::close(fd);
    if (sse.joinable()) sse.join();

    std::uint64_t logged = 0;
    if (log) {
        std::ifstream in(logPath);
        std::string line;
        while (std::getline(in, line))
            if (line.find("\"kind\":\"received\"") != std::string::npos) ++logged;
    }

    std::printf("flood of %.1f s, list bound %d, log %s, events stream %s\n", elapsed, listMax,
                log ? "on" : "off", stream ? "on" : "off");
    std::printf("answered during the flood: %llu = %.0f messages/s\n",
                static_cast<unsigned long long>(answeredAtEnd), answeredAtEnd / elapsed);
    std::printf("resident memory: %ld KiB at rest, peak %ld KiB during the flood\n", restKb, peakKb);
    std::printf("GET /status: %zu requests, median %.1f ms, p99 %.1f ms, max %.1f ms, %d not 200\n",
                statusMs.size(), Percentile(statusMs, 0.5), Percentile(statusMs, 0.99),
                Percentile(statusMs, 1.0), statusErrors);
    std::printf("events stream: %.1f MB read, %llu events, %s\n", streamBytes / 1e6,
                static_cast<unsigned long long>(streamEvents.load()),
                streamClosed ? "closed by the simulator before the end" : "open to the end");
    std::printf("SIGTERM -> exit: %.0f ms%s (exit status %d)\n", exitMs,
                exited ? "" : " (did not exit within 60 s: killed)",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    if (log) {
        std::printf("answers at the peer: %llu, messages in the log: %llu, missing from the log: %lld\n",
                    static_cast<unsigned long long>(answered.load()),
                    static_cast<unsigned long long>(logged),
                    static_cast<long long>(answered.load()) - static_cast<long long>(logged));
    }
    if (capture) {
        std::uint64_t captured = 0;
        std::uintmax_t size = 0;
        try {
            size = std::filesystem::file_size(capturePath);
            const Recording recording = ReadRecording(capturePath);
            for (const RecordedFrame& frame : recording.frames)
                if (frame.direction == Direction::Rx && frame.kind == EntryKind::Message) ++captured;
        } catch (const std::exception& error) {
            std::printf("the capture cannot be read: %s\n", error.what());
        }
        std::printf("capture: %.1f MB, %llu messages in it (missing from it: %lld), %.1f bytes per message and answer\n",
                    size / 1e6, static_cast<unsigned long long>(captured),
                    static_cast<long long>(answered.load()) - static_cast<long long>(captured),
                    captured > 0 ? static_cast<double>(size) / static_cast<double>(captured) : 0.0);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
